#include "tests/tools/smtpsink.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QThread>

SmtpSink::SmtpSink(const QString& password, const QString& user, const QStringList& extraArguments)
{
    QStringList args{QStringLiteral("--dir"), m_dir.path(), QStringLiteral("--password"), password};
    if (!user.isEmpty())
        args << QStringLiteral("--user") << user;
    m_service = std::make_unique<PythonService>(QStringLiteral("smtpsink.py"), args + extraArguments);
}

QStringList SmtpSink::mails() const
{
    QStringList result;
    QDir dir(m_dir.path());
    QStringList names = dir.entryList({QStringLiteral("*.eml")}, QDir::Files);
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return a.section(QLatin1Char('.'), 0, 0).toInt() < b.section(QLatin1Char('.'), 0, 0).toInt();
    });
    for (const QString& name : names)
        result << dir.filePath(name);
    return result;
}

QString SmtpSink::loginOf(const QString& emlPath)
{
    QFile file(emlPath.left(emlPath.size() - 4) + QStringLiteral(".auth"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("(unknown)");
}

bool SmtpSink::waitForMails(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (mails().size() < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

QJsonObject SmtpSink::parse(const QString& emlPath, const QString& attachmentOut)
{
    QProcess python;
    QStringList args{toolPath(QStringLiteral("parsemail.py")), emlPath};
    if (!attachmentOut.isEmpty())
        args << attachmentOut;
    python.start(QStringLiteral("/usr/bin/python3"), args);
    if (!python.waitForFinished(30000))
        return {};
    return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}
