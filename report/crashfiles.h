#pragma once

#include <QString>
#include <QStringList>

// Crash file discovery. Both only read directory listings; a missing or empty directory
// gives an empty result, never an error.

// Full path of the crash dump (suffix exactly "dmp") with the latest creation time in dumpDir;
// on equal times the one first in name order (letters compared without case). Empty if none.
QString findNewestDump(const QString& dumpDir);

// logDir + "/" + name for each plain file of logDir whose name contains "_" + logTag + ".log",
// in name order. Empty when logTag is empty.
QStringList findLogFiles(const QString& logDir, const QString& logTag);
