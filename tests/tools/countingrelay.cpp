#include "tests/tools/countingrelay.h"

#include <QTcpSocket>

CountingRelay::CountingRelay(quint16 targetPort, QObject* parent) : QObject(parent), m_target(targetPort)
{
    connect(&m_server, &QTcpServer::newConnection, this, &CountingRelay::accept);
    m_server.listen(QHostAddress::LocalHost);
}

void CountingRelay::accept()
{
    while (QTcpSocket* client = m_server.nextPendingConnection()) {
        ++m_connections;
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        if (m_down) {
            client->abort();
            continue;
        }
        auto* server = new QTcpSocket(client);
        connect(client, &QTcpSocket::readyRead, server, [client, server] { server->write(client->readAll()); });
        connect(server, &QTcpSocket::readyRead, client, [client, server] { client->write(server->readAll()); });
        connect(server, &QTcpSocket::disconnected, client, [client] { client->disconnectFromHost(); });
        connect(client, &QTcpSocket::disconnected, server, [server] { server->disconnectFromHost(); });
        server->connectToHost(QHostAddress::LocalHost, m_target);
    }
}
