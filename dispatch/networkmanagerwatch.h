#pragma once

#include "dispatch/networkwatch.h"

#include <QDBusConnection>
#include <QStringList>
#include <QVariantMap>

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

// The network state as NetworkManager tells it on the system bus (DBUS_SYSTEM_BUS_ADDRESS when
// set): its Connectivity property, followed through its signals. Full connectivity is Online;
// none, a captive portal or limited connectivity is Offline; unknown (no check has run, or checks
// are off), or NetworkManager gone from the bus, is Unknown. Main thread only.
class NetworkManagerWatch : public NetworkWatch {
    Q_OBJECT
public:
    explicit NetworkManagerWatch(QObject* parent = nullptr);

    // Reads the state once (a D-Bus call of at most a few seconds) and follows its changes. False
    // when there is no system bus or NetworkManager is not on it; the state stays Unknown then,
    // and becomes known should NetworkManager start later.
    bool start();

    // NetworkManager's NMConnectivityState as a state.
    static State fromConnectivity(uint connectivity);

private slots:
    void slot_propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);
    void slot_managerPropertiesChanged(const QVariantMap& changed);
    void slot_refresh();
    void slot_read(QDBusPendingCallWatcher* call);
    void slot_ownerChanged(const QString& service, const QString& oldOwner, const QString& newOwner);

private:
    QDBusConnection m_bus;
    QDBusServiceWatcher* m_owner = nullptr;
};
