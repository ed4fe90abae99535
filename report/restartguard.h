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

// The guard's length as compiled in (CRASHUI_RESTART_GUARD_SECONDS, 60 by default); 0 when that
// is no whole number of seconds up to a week.
qint64 compiledInSeconds();

// True when the last restart lies less than guardSeconds before now. guardSeconds 0: no guard
// (an invalid deployment value), whyNoGuard said on standard error.
bool restartedRecently(const QString& dumpDir, qint64 guardSeconds, const QString& whyNoGuard,
                       const QDateTime& now = QDateTime::currentDateTimeUtc());
// The same with the compiled-in length.
bool restartedRecently(const QString& dumpDir, const QDateTime& now = QDateTime::currentDateTimeUtc());

} // namespace RestartGuard
