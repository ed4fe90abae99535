#pragma once

#include <QObject>
#include <QTcpServer>

// A mail server's door that counts every connection that reaches it: on 127.0.0.1 (port chosen
// by the system), it passes each connection on to 127.0.0.1:targetPort, or, while down, hangs
// up at once (the server is down, but the attempt is seen). Lives on the test's thread; its
// event loop must run (QTest::qWait, QTRY_...).
class CountingRelay : public QObject {
    Q_OBJECT
public:
    explicit CountingRelay(quint16 targetPort, QObject* parent = nullptr);

    quint16 port() const { return m_server.serverPort(); }
    int connections() const { return m_connections; }
    void setDown(bool down) { m_down = down; }

private:
    void accept();

    QTcpServer m_server;
    quint16 m_target;
    int m_connections = 0;
    bool m_down = false;
};
