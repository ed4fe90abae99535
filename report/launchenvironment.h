#pragma once

#include <QProcessEnvironment>

// The environment crashui was started with, before it changed its own for itself (the GL
// integration it does without, and whatever else start-up sets): what a restarted host gets, so
// that nothing meant for crashui reaches the host.
namespace LaunchEnvironment {

// Takes the process environment as it is now. Called once, first thing in main(), before any
// other thread exists; later calls change nothing.
void capture();

// The captured environment; the current one when capture() never ran. Any thread after capture().
QProcessEnvironment original();

} // namespace LaunchEnvironment
