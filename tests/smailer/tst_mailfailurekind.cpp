// Which failures of a sending are the network's: those make a waiter send the report again once
// the machine is online; a server's refusal or a bad configuration does not.

#include "smailer/mailexception.h"
#include "smailer/mailsender.h"
#include "tests/tools/refusingport.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/smailermail.h"

#include <QtTest>

using Script = std::map<std::string, ScriptedSmtpServer::Step>;
Q_DECLARE_METATYPE(Script)

class tst_MailFailureKind : public QObject {
    Q_OBJECT
private slots:
    void kind_data();
    void kind();
};

void tst_MailFailureKind::kind_data()
{
    using S = ScriptedSmtpServer;
    QTest::addColumn<Script>("script"); // no "CONNECT" entry and "refused" set: nothing listens
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("security"); // SMailer::Security
    QTest::addColumn<bool>("network");
    QTest::newRow("connection refused") << Script{} << true << 0 << true;
    QTest::newRow("hung up before the greeting") << Script{{"CONNECT", S::close()}} << false << 0 << true;
    QTest::newRow("no greeting within the time-out") << Script{{"CONNECT", S::stall()}} << false << 0 << true;
    QTest::newRow("hung up during the data") << Script{{"DATA", S::close()}} << false << 0 << true;
    QTest::newRow("greeting 554") << Script{{"CONNECT", S::reply("554 no\r\n")}} << false << 0 << false;
    QTest::newRow("login refused") << Script{{"PASS", S::reply("535 5.7.8 no\r\n")}} << false << 0 << false;
    QTest::newRow("receiver refused") << Script{{"RCPT", S::reply("550 5.1.1 no\r\n")}} << false << 0 << false;
    QTest::newRow("no STARTTLS offered") << Script{} << false << int(SMailer::Security::StartTls) << false;
}

void tst_MailFailureKind::kind()
{
    QFETCH(Script, script);
    QFETCH(bool, refused);
    QFETCH(int, security);
    QFETCH(bool, network);
    ScriptedSmtpServer server(script);
    const unsigned short port = refused ? deadPort() : server.port();
    SmailerMail mail("a_b", "text");
    try {
        SMailer::MailSender sender("127.0.0.1", "bug@example.com", "secret", port, std::chrono::milliseconds(400),
                                   SMailer::Security(security));
        sender.setMail(&mail.wrapper());
        sender.sendMail();
        QFAIL("sent");
    } catch (const SMailer::MailException& e) {
        QVERIFY2(e.network() == network, e.reason().c_str());
    }
}

QTEST_GUILESS_MAIN(tst_MailFailureKind)
#include "tst_mailfailurekind.moc"
