#include "tests/tools/networkmanagerstandin.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QThread>

namespace {

const QString kConnectionName = QStringLiteral("networkmanager-standin");

} // namespace

NetworkManagerStandIn::NetworkManagerStandIn(bool withNetworkManager)
{
    m_bus.start(QStringLiteral("dbus-daemon"),
                {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!m_bus.waitForStarted(30000) || !m_bus.waitForReadyRead(30000)) {
        m_error = QStringLiteral("dbus-daemon did not start: ") + m_bus.errorString();
        return;
    }
    m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
    QDBusConnection bus = QDBusConnection::connectToBus(m_address, kConnectionName);
    if (!bus.isConnected()) {
        m_error = QStringLiteral("cannot connect to the private bus at ") + m_address;
        return;
    }
    if (!withNetworkManager)
        return;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
    m_manager.setProcessEnvironment(env);
    m_manager.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_manager.setStandardOutputFile(QProcess::nullDevice());
    m_manager.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                     QStringLiteral("--template"), QStringLiteral("networkmanager")});
    QElapsedTimer waited;
    waited.start();
    while (!bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.NetworkManager")).value()) {
        if (waited.elapsed() > 30000 || m_manager.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("the NetworkManager stand-in did not come up");
            return;
        }
        QThread::msleep(50);
    }
}

NetworkManagerStandIn::~NetworkManagerStandIn()
{
    QDBusConnection::disconnectFromBus(kConnectionName);
    for (QProcess* process : {&m_manager, &m_bus}) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished();
        }
    }
}

bool NetworkManagerStandIn::setConnectivity(Connectivity connectivity)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.NetworkManager"), QStringLiteral("/org/freedesktop/NetworkManager"),
        QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("SetConnectivity"));
    call << static_cast<uint>(connectivity);
    return QDBusConnection(kConnectionName).call(call, QDBus::Block, 10000).type() == QDBusMessage::ReplyMessage;
}
