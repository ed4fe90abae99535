#include "report/restartguard.h"

#include "report/deployment.h"

#include <QFile>
#include <QSaveFile>

namespace {

QString stampPath(const QString& dumpDir)
{
    return dumpDir + QStringLiteral("/crashui.restarted");
}

} // namespace

namespace RestartGuard {

void recordRestart(const QString& dumpDir, const QDateTime& now)
{
    QSaveFile file(stampPath(dumpDir));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray::number(now.toSecsSinceEpoch()) + '\n');
        file.commit();
    }
}

qint64 compiledInSeconds()
{
    bool ok = false;
    const qint64 seconds = QByteArray(CRASHUI_DEFAULT_RESTART_GUARD_SECONDS).toLongLong(&ok);
    return ok && seconds > 0 && seconds <= 7 * 24 * 3600 ? seconds : 0;
}

bool restartedRecently(const QString& dumpDir, const QDateTime& now)
{
    return restartedRecently(dumpDir, compiledInSeconds(),
                             QStringLiteral("invalid CRASHUI_RESTART_GUARD_SECONDS: \"%1\"")
                                 .arg(QLatin1String(CRASHUI_DEFAULT_RESTART_GUARD_SECONDS)),
                             now);
}

bool restartedRecently(const QString& dumpDir, qint64 seconds, const QString& whyNoGuard, const QDateTime& now)
{
    if (seconds <= 0) {
        qWarning("crashui: no crash-loop guard: %s", qPrintable(whyNoGuard));
        return false;
    }
    QFile file(stampPath(dumpDir));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool ok = false;
    const qint64 restarted = file.read(32).trimmed().toLongLong(&ok);
    if (!ok)
        return false;
    const qint64 since = now.toSecsSinceEpoch() - restarted;
    if (since < 0) {
        // Stamped while the clock was ahead: counted from now, so the guard ends on time.
        recordRestart(dumpDir, now);
        return true;
    }
    return since < seconds;
}

} // namespace RestartGuard
