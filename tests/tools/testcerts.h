#pragma once

#include <QString>
#include <QTemporaryDir>

// Throw-away certificates for TLS tests, made with the openssl command at test time:
// a CA, a server certificate from it for localhost and 127.0.0.1, one from it for another name,
// and a server certificate for localhost from a CA nobody trusts.
class TestCerts {
public:
    TestCerts();
    bool ok() const { return m_ok; }
    QString error() const { return m_error; }

    QString caFile() const { return path("ca.pem"); }
    QString serverCert() const { return path("server.pem"); }
    QString serverKey() const { return path("server.key"); }
    QString otherNameCert() const { return path("other.pem"); }
    QString otherNameKey() const { return path("other.key"); }
    QString unknownCaCert() const { return path("stranger.pem"); }
    QString unknownCaKey() const { return path("stranger.key"); }

private:
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    bool run(const QStringList& arguments);
    bool issue(const QString& name, const QString& caName, const QString& subjectAltName);

    QTemporaryDir m_dir;
    bool m_ok = false;
    QString m_error;
};
