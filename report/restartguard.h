#pragma once

#include <QDateTime>
#include <QString>

// The crash-loop guard: when crashui restarted the host shortly before this crash, the restart
// box starts unchecked, so that a host that crashes at start does not loop through dialog,
// restart and crash with nobody at the keyboard. The time of the last restart is kept in
// ROOT_DIR/dumps/crashui.restarted (seconds since the epoch, UTC), never in crashui.ini. Any
// thread; failures to read or write mean no guard.
namespace RestartGuard {

// Notes that the host was restarted at now.
void recordRestart(const QString& dumpDir, const QDateTime& now = QDateTime::currentDateTimeUtc());

// True when the last restart lies less than CRASHUI_RESTART_GUARD_SECONDS (60 by default) before
// now. An invalid deployment value turns the guard off.
bool restartedRecently(const QString& dumpDir, const QDateTime& now = QDateTime::currentDateTimeUtc());

} // namespace RestartGuard
