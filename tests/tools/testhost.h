#pragma once

#include <QByteArray>
#include <QString>

// Small helpers shared by the report tests.

// Writes bytes to path, making its folders; returns the path.
QString writeFile(const QString& path, const QByteArray& bytes);

// Points the report mail of this process at a server on this machine (environment variables the
// program reads at sending time): host, port, mailbox "bug@example.com", the usual password.
void pointMailAt(quint16 port, const QByteArray& host = "127.0.0.1");
