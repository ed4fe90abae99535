#pragma once

#include <QProcess>
#include <QString>

// A system bus of its own for the program under test (a private dbus-daemon; the program is
// pointed at it with DBUS_SYSTEM_BUS_ADDRESS), with NetworkManager played by python3-dbusmock's
// networkmanager template, or with no NetworkManager at all. The test switches the connectivity
// the program sees. Stopped by the destructor.
class NetworkManagerStandIn {
public:
    // NMConnectivityState
    enum Connectivity : uint { Unknown = 0, None = 1, Portal = 2, Limited = 3, Full = 4 };

    explicit NetworkManagerStandIn(bool withNetworkManager = true);
    ~NetworkManagerStandIn();
    NetworkManagerStandIn(const NetworkManagerStandIn&) = delete;
    NetworkManagerStandIn& operator=(const NetworkManagerStandIn&) = delete;

    bool isRunning() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    // For DBUS_SYSTEM_BUS_ADDRESS.
    QString address() const { return m_address; }
    // Sets NetworkManager's Connectivity property, which it announces on the bus.
    bool setConnectivity(Connectivity connectivity);

private:
    QProcess m_bus;
    QProcess m_manager;
    QString m_address;
    QString m_error;
};
