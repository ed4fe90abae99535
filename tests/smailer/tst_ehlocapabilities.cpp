// What the mailer reads from a server's EHLO reply, from the replies of real servers and of odd
// ones.

#include "smailer/ehlocapabilities.h"

#include <QtTest>

using SMailer::EhloCapabilities;

class tst_EhloCapabilities : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

void tst_EhloCapabilities::parse_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("startTls");
    QTest::addColumn<bool>("size");
    QTest::addColumn<qulonglong>("sizeLimit");
    QTest::addColumn<QString>("auth"); // the mechanisms, space-separated
    QTest::addColumn<bool>("eightBitMime");
    QTest::addColumn<bool>("pipelining");

    QTest::newRow("aiosmtpd with a login required")
        << QByteArray("250-host.example\r\n250-SIZE 33554432\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n"
                      "250-AUTH LOGIN PLAIN\r\n250 HELP\r\n")
        << false << true << 33554432ull << "LOGIN PLAIN" << true << false;
    QTest::newRow("Postfix submission, both AUTH forms")
        << QByteArray("250-mail.example.com\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250-VRFY\r\n250-ETRN\r\n"
                      "250-STARTTLS\r\n250-AUTH PLAIN LOGIN\r\n250-AUTH=PLAIN LOGIN\r\n250-ENHANCEDSTATUSCODES\r\n"
                      "250-8BITMIME\r\n250-DSN\r\n250 CHUNKING\r\n")
        << true << true << 10240000ull << "PLAIN LOGIN" << true << true;
    QTest::newRow("old AUTH= form only") << QByteArray("250-relay\r\n250 AUTH=LOGIN\r\n") << false << false << 0ull
                                         << "LOGIN" << false << false;
    QTest::newRow("SIZE without a number")
        << QByteArray("250-relay\r\n250-SIZE\r\n250 HELP\r\n") << false << true << 0ull << "" << false << false;
    QTest::newRow("SIZE 0: no limit") << QByteArray("250-relay\r\n250 SIZE 0\r\n") << false << true << 0ull << ""
                                      << false << false;
    QTest::newRow("SIZE not a number") << QByteArray("250-relay\r\n250 SIZE 10M\r\n") << false << true << 0ull << ""
                                       << false << false;
    QTest::newRow("SIZE beyond 18 digits")
        << QByteArray("250-relay\r\n250 SIZE 1234567890123456789\r\n") << false << true << 0ull << "" << false << false;
    QTest::newRow("first SIZE counts") << QByteArray("250-relay\r\n250-SIZE 1000\r\n250 SIZE 2000\r\n") << false << true
                                       << 1000ull << "" << false << false;
    QTest::newRow("lower case, bare LF, trailing spaces")
        << QByteArray("250-relay\n250-starttls  \n250-size 5000\n250 auth login Cram-MD5\n") << true << true << 5000ull
        << "LOGIN CRAM-MD5" << false << false;
    QTest::newRow("STARTTLS with parameters is not it")
        << QByteArray("250-relay\r\n250 STARTTLS now\r\n") << false << false << 0ull << "" << false << false;
    QTest::newRow("one-line reply: nothing offered")
        << QByteArray("250 relay.example\r\n") << false << false << 0ull << "" << false << false;
    QTest::newRow("short lines") << QByteArray("250\r\n25\r\n\r\n250 SIZE 7\r\n") << false << true << 7ull << ""
                                 << false << false;
}

void tst_EhloCapabilities::parse()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, startTls);
    QFETCH(bool, size);
    QFETCH(qulonglong, sizeLimit);
    QFETCH(QString, auth);
    QFETCH(bool, eightBitMime);
    QFETCH(bool, pipelining);
    const EhloCapabilities offered = EhloCapabilities::parse(reply.toStdString());
    QCOMPARE(offered.startTls, startTls);
    QCOMPARE(offered.size, size);
    QCOMPARE(qulonglong(offered.sizeLimit), sizeLimit);
    QStringList mechanisms;
    for (const std::string& mechanism : offered.authMechanisms)
        mechanisms << QString::fromStdString(mechanism);
    QCOMPARE(mechanisms.join(QLatin1Char(' ')), auth);
    for (const QString& mechanism : mechanisms)
        QVERIFY(offered.offersAuth(mechanism.toLower().toStdString()));
    QVERIFY(!offered.offersAuth("GSSAPI"));
    QCOMPARE(offered.eightBitMime, eightBitMime);
    QCOMPARE(offered.pipelining, pipelining);
}

QTEST_GUILESS_MAIN(tst_EhloCapabilities)
#include "tst_ehlocapabilities.moc"
