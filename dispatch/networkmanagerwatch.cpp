#include "dispatch/networkmanagerwatch.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kConnectivity = QStringLiteral("Connectivity");

// NMConnectivityState
constexpr uint kConnectivityFull = 4;
constexpr uint kConnectivityUnknown = 0;

// A call that NetworkManager does not answer must not hold the start up for long.
constexpr int kCallTimeoutMs = 5000;

QDBusMessage connectivityQuery()
{
    QDBusMessage query = QDBusMessage::createMethodCall(kService, kPath, kProperties, QStringLiteral("Get"));
    query << kInterface << kConnectivity;
    return query;
}

} // namespace

NetworkManagerWatch::NetworkManagerWatch(QObject* parent) : NetworkWatch(parent), m_bus(QDBusConnection::systemBus()) {}

NetworkWatch::State NetworkManagerWatch::fromConnectivity(uint connectivity)
{
    if (connectivity == kConnectivityFull)
        return State::Online;
    if (connectivity == kConnectivityUnknown || connectivity > kConnectivityFull)
        return State::Unknown;
    return State::Offline; // none, portal, limited
}

bool NetworkManagerWatch::start()
{
    if (!m_bus.isConnected() || !m_bus.interface())
        return false;
    // Signals first, so that no change between the read and the subscription is missed.
    m_owner = new QDBusServiceWatcher(kService, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_owner, &QDBusServiceWatcher::serviceOwnerChanged, this, &NetworkManagerWatch::slot_ownerChanged);
    m_bus.connect(kService, kPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                  SLOT(slot_propertiesChanged(QString, QVariantMap, QStringList)));
    // Older NetworkManager releases announce changes on their own interface only.
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("PropertiesChanged"), this,
                  SLOT(slot_managerPropertiesChanged(QVariantMap)));
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("StateChanged"), this, SLOT(slot_refresh()));
    // Asking an absent NetworkManager would have the bus start it: only ask one that runs.
    if (!m_bus.interface()->isServiceRegistered(kService).value())
        return false;
    const QDBusMessage reply = m_bus.call(connectivityQuery(), QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    setState(fromConnectivity(reply.arguments().first().value<QDBusVariant>().variant().toUInt()));
    return true;
}

void NetworkManagerWatch::slot_propertiesChanged(const QString& interface, const QVariantMap& changed,
                                                 const QStringList& invalidated)
{
    if (interface != kInterface)
        return;
    if (changed.contains(kConnectivity))
        setState(fromConnectivity(changed.value(kConnectivity).toUInt()));
    else if (invalidated.contains(kConnectivity))
        slot_refresh();
}

void NetworkManagerWatch::slot_managerPropertiesChanged(const QVariantMap& changed)
{
    if (changed.contains(kConnectivity))
        setState(fromConnectivity(changed.value(kConnectivity).toUInt()));
}

void NetworkManagerWatch::slot_refresh()
{
    auto* call = new QDBusPendingCallWatcher(m_bus.asyncCall(connectivityQuery(), kCallTimeoutMs), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &NetworkManagerWatch::slot_read);
}

void NetworkManagerWatch::slot_read(QDBusPendingCallWatcher* call)
{
    const QDBusPendingReply<QDBusVariant> reply = *call;
    call->deleteLater();
    setState(reply.isValid() ? fromConnectivity(reply.value().variant().toUInt()) : State::Unknown);
}

void NetworkManagerWatch::slot_ownerChanged(const QString& service, const QString& oldOwner, const QString& newOwner)
{
    Q_UNUSED(service)
    Q_UNUSED(oldOwner)
    if (newOwner.isEmpty())
        setState(State::Unknown); // gone (stopped, restarting): reports go when due meanwhile
    else
        slot_refresh();
}
