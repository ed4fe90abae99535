#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real SMTP server for tests: aiosmtpd (tools/smtpsink.py) on 127.0.0.1 with AUTH LOGIN
// required, saving each accepted mail as an .eml file. Stopped by the destructor.
class SmtpSink {
public:
    explicit SmtpSink(const QString& password = QStringLiteral("Err.submit7"), const QString& user = QString(),
                      const QStringList& extraArguments = QStringList());
    ~SmtpSink();

    bool isRunning() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    QString error() const { return m_error; }
    // The saved mails, oldest first.
    QStringList mails() const;
    // Waits (bounded) until count mails have arrived.
    bool waitForMails(int count, int timeoutMs = 30000) const;

    // Parses a saved mail with Python's email package; the attachment's bytes go to attachmentOut
    // when it is not empty.
    static QJsonObject parse(const QString& emlPath, const QString& attachmentOut = QString());
    static QString toolPath(const QString& name);

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
