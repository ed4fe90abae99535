#pragma once

#include "tests/tools/pythonservice.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A real SMTP server for tests: aiosmtpd (tools/smtpsink.py) on 127.0.0.1 with AUTH LOGIN
// required (offered only, with the extra argument "--no-auth-required"), saving each accepted mail
// as an .eml file. Stopped by the destructor.
class SmtpSink {
public:
    explicit SmtpSink(const QString& password = QStringLiteral("Err.submit7"), const QString& user = QString(),
                      const QStringList& extraArguments = QStringList());

    bool isRunning() const { return m_service->isRunning(); }
    quint16 port() const { return m_service->port(); }
    QString error() const { return m_service->error(); }
    // The saved mails, oldest first.
    QStringList mails() const;
    // How the session of a saved mail logged in: "MECHANISM login", empty when it did not.
    static QString loginOf(const QString& emlPath);
    // Waits (bounded) until count mails have arrived.
    bool waitForMails(int count, int timeoutMs = 30000) const;

    // Parses a saved mail with Python's email package; the attachment's bytes go to attachmentOut
    // when it is not empty.
    static QJsonObject parse(const QString& emlPath, const QString& attachmentOut = QString());
    static QString toolPath(const QString& name) { return PythonService::toolPath(name); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PythonService> m_service;
};
