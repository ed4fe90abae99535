// The mailer over TLS against aiosmtpd: STARTTLS and TLS from the first byte, delivered and parsed
// back; then every refusal, each within the wait bound. Certificates are made at test time.

#include "smailer/appoctstrmcontent.h"
#include "smailer/mailexception.h"
#include "smailer/mailinfo.h"
#include "smailer/mailsender.h"
#include "smailer/mailwrapper.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/smailermail.h"
#include "tests/tools/testcerts.h"
#include "smailer/textplaincontent.h"

#include "tests/tools/testhost.h"
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace SMailer;
Q_DECLARE_METATYPE(SMailer::Security)

namespace {

constexpr std::chrono::milliseconds kWait{5000};

QStringList tlsArguments(const QString& mode, const QString& cert, const QString& key)
{
    return {QStringLiteral("--tls"), mode, QStringLiteral("--cert"), cert, QStringLiteral("--key"), key};
}

// Sends a small report mail; the exception's message, or empty on success.
QString send(const std::string& server, quint16 port, Security security, const QString& caFile,
             const QString& attachment)
{
    SmailerMail mail("tls_1", "over TLS\r\n.\r\n", QFile::encodeName(attachment).toStdString());
    try {
        MailSender sender(server, "bug@example.com", "Err.submit7", port, kWait, security, caFile.toStdString());
        sender.setMail(&mail.wrapper());
        sender.sendMail();
    } catch (const MailException& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

class tst_MailSenderTls : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void delivered_data();
    void delivered();
    void refused_data();
    void refused();
    void clearTextLoginRefusedByServer();

private:
    std::unique_ptr<TestCerts> m_certs;
    QTemporaryDir m_dir;
    QString m_attachment;
};

void tst_MailSenderTls::initTestCase()
{
    m_certs = std::make_unique<TestCerts>();
    QVERIFY2(m_certs->ok(), qPrintable(m_certs->error()));
    m_attachment = m_dir.filePath(QStringLiteral("tls_1.rar"));
    QVERIFY(!writeFile(m_attachment, randomBytes(200 * 1024)).isEmpty());
}

void tst_MailSenderTls::delivered_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<Security>("security");
    QTest::addColumn<QString>("server");
    QTest::newRow("STARTTLS, by name") << "starttls" << Security::StartTls << "localhost";
    QTest::newRow("STARTTLS, by address") << "starttls" << Security::StartTls << "127.0.0.1";
    QTest::newRow("TLS, by name") << "tls" << Security::Tls << "localhost";
}

void tst_MailSenderTls::delivered()
{
    QFETCH(QString, mode);
    QFETCH(Security, security);
    QFETCH(QString, server);
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(), tlsArguments(mode, m_certs->serverCert(), m_certs->serverKey()));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    QCOMPARE(send(server.toStdString(), sink.port(), security, m_certs->caFile(), m_attachment), QString());
    QVERIFY(sink.waitForMails(1));
    const QString received = m_dir.filePath(QStringLiteral("received.bin"));
    const QJsonObject mail = SmtpSink::parse(sink.mails().first(), received);
    QCOMPARE(mail.value("subject").toString(), QStringLiteral("bug report : tls_1"));
    QCOMPARE(mail.value("parts").toArray().at(0).toObject().value("text").toString(), QStringLiteral("over TLS\r\n.\r\n\r\n"));
    QFile in(received), original(m_attachment);
    QVERIFY(in.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
    QCOMPARE(in.readAll(), original.readAll());
}

void tst_MailSenderTls::refused_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<Security>("security");
    QTest::addColumn<QString>("message");
    QTest::newRow("STARTTLS, certificate for another name") << "starttls" << "other" << Security::StartTls
                                                            << "Server certificate verification error";
    QTest::newRow("TLS, certificate for another name") << "tls" << "other" << Security::Tls
                                                       << "Server certificate verification error";
    QTest::newRow("STARTTLS, unknown CA") << "starttls" << "stranger" << Security::StartTls
                                          << "Server certificate verification error";
    QTest::newRow("TLS, unknown CA") << "tls" << "stranger" << Security::Tls << "Server certificate verification error";
    QTest::newRow("no STARTTLS offered") << "" << "" << Security::StartTls << "Server does not support STARTTLS";
    QTest::newRow("plain server, TLS expected") << "" << "" << Security::Tls << "TLS handshake error";
}

void tst_MailSenderTls::refused()
{
    QFETCH(QString, mode);
    QFETCH(QString, certificate);
    QFETCH(Security, security);
    QFETCH(QString, message);
    QStringList arguments;
    if (certificate == "other")
        arguments = tlsArguments(mode, m_certs->otherNameCert(), m_certs->otherNameKey());
    else if (certificate == "stranger")
        arguments = tlsArguments(mode, m_certs->unknownCaCert(), m_certs->unknownCaKey());
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(), arguments);
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(send("localhost", sink.port(), security, m_certs->caFile(), m_attachment), message);
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(sink.mails().isEmpty());
}

void tst_MailSenderTls::clearTextLoginRefusedByServer()
{
    // What current servers do, and why TLS exists here: no login before STARTTLS.
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(),
                  tlsArguments(QStringLiteral("starttls"), m_certs->serverCert(), m_certs->serverKey()));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    QCOMPARE(send("localhost", sink.port(), Security::None, QString(), m_attachment),
             QStringLiteral("Server authentication error"));
}

QTEST_GUILESS_MAIN(tst_MailSenderTls)
#include "tst_mailsender_tls.moc"
