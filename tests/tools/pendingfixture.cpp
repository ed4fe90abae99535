#include "tests/tools/pendingfixture.h"

#include "dispatch/pendingstore.h"

QString makePendingReport(const TestHost& host, int failedMinutesAgo, const QString& description)
{
    const QDateTime then = QDateTime::currentDateTimeUtc().addSecs(-60 * qMax(failedMinutesAgo, 0));
    PendingStore store(host.info.dumpDir, [then] { return then; });
    const std::unique_ptr<PendingReport> report =
        store.create(host.info, description, QStringLiteral("bug@example.com"));
    if (!report)
        return QString();
    if (failedMinutesAgo >= 0)
        report->failed(QStringLiteral("could not connect to 127.0.0.1:9: connection refused"));
    return report->record().id;
}

QProcessEnvironment binaryEnvironment(quint16 port, int timeoutSeconds)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("CRASHUI_SMTP_HOST"), QStringLiteral("127.0.0.1"));
    env.insert(QStringLiteral("CRASHUI_SMTP_PORT"), QString::number(port));
    env.insert(QStringLiteral("CRASHUI_MAILBOX"), QStringLiteral("bug@example.com"));
    env.insert(QStringLiteral("CRASHUI_SMTP_PASSWORD"), QStringLiteral("Err.submit7"));
    env.insert(QStringLiteral("CRASHUI_SMTP_TIMEOUT"), QString::number(timeoutSeconds));
    return env;
}

QString crashuiBinary()
{
    return QString::fromLocal8Bit(qgetenv("CRASHUI_BINARY"));
}
