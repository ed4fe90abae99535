#include "tests/tools/smtpsink.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QThread>

QString SmtpSink::toolPath(const QString& name)
{
    return QString::fromLocal8Bit(qgetenv("CRASHUI_TEST_TOOLS")) + QLatin1Char('/') + name;
}

SmtpSink::SmtpSink(const QString& password, const QString& user, const QStringList& extraArguments)
{
    QStringList args{toolPath(QStringLiteral("smtpsink.py")), QStringLiteral("--dir"), m_dir.path(),
                     QStringLiteral("--password"), password};
    if (!user.isEmpty())
        args << QStringLiteral("--user") << user;
    args << extraArguments;
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("cannot start /usr/bin/python3");
        return;
    }
    QDeadlineTimer deadline(20000);
    QByteArray out;
    while (!deadline.hasExpired() && !out.contains('\n')) {
        if (!m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        out += m_process.readAll();
    }
    if (out.startsWith("PORT "))
        m_port = static_cast<quint16>(out.mid(5).trimmed().toUInt());
    if (m_port == 0)
        m_error = QStringLiteral("smtp sink did not start: ") + QString::fromLocal8Bit(out);
}

SmtpSink::~SmtpSink()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel(); // the sink stops when its stdin closes
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
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
