#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A helper server written in Python (tests/tools/*.py), run with /usr/bin/python3: it prints
// "PORT <n>" when it listens on 127.0.0.1 and stops when its standard input closes. Stopped by
// the destructor.
class PythonService {
public:
    PythonService(const QString& tool, const QStringList& arguments);
    ~PythonService();
    PythonService(const PythonService&) = delete;
    PythonService& operator=(const PythonService&) = delete;

    bool isRunning() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    QString error() const { return m_error; }

    // The path of a tool in tests/tools.
    static QString toolPath(const QString& name);

private:
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

// A loopback proxy to 127.0.0.1:targetPort that passes at most bytesPerSecond from the client to
// the target (tools/throttleproxy.py): a slow uplink.
class ThrottleProxy : public PythonService {
public:
    ThrottleProxy(quint16 targetPort, int bytesPerSecond);
};
