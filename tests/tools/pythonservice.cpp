#include "tests/tools/pythonservice.h"

#include <QDeadlineTimer>

QString PythonService::toolPath(const QString& name)
{
    return QString::fromLocal8Bit(qgetenv("CRASHUI_TEST_TOOLS")) + QLatin1Char('/') + name;
}

PythonService::PythonService(const QString& tool, const QStringList& arguments)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"), QStringList{toolPath(tool)} + arguments);
    if (!m_process.waitForStarted(30000)) {
        m_error = QStringLiteral("cannot start /usr/bin/python3");
        return;
    }
    QDeadlineTimer deadline(30000);
    QByteArray out;
    while (!deadline.hasExpired() && !out.contains('\n')) {
        if (!m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        out += m_process.readAll();
    }
    if (out.startsWith("PORT "))
        m_port = static_cast<quint16>(out.mid(5).trimmed().toUInt());
    if (m_port == 0)
        m_error = tool + QStringLiteral(" did not start: ") + QString::fromLocal8Bit(out);
}

PythonService::~PythonService()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

ThrottleProxy::ThrottleProxy(quint16 targetPort, int bytesPerSecond)
    : PythonService(QStringLiteral("throttleproxy.py"),
                    {QString::number(targetPort), QString::number(bytesPerSecond)})
{
}
