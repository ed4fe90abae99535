#pragma once

#include <QByteArray>

// What "crashui --help" and "crashui --version" print (UTF-8, ending in a newline). The help names
// this build's configuration file and whether the environment may change the mail's destination.
// Need no application object; any thread.
QByteArray usageText();
QByteArray versionText();
