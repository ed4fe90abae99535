#include "smailer/appoctstrmcontent.h"
#include "smailer/base64helper.h"
#include "smailer/datafilter.h"
#include "smailer/mailexception.h"
#include "smailer/mailinfo.h"
#include "smailer/mailsender.h"
#include "smailer/mailwrapper.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/smailermail.h"
#include "smailer/tcpsocket.h"
#include "smailer/textplaincontent.h"

#include "tests/tools/testhost.h"
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace SMailer;
using Script = std::map<std::string, ScriptedSmtpServer::Step>;
Q_DECLARE_METATYPE(Script)

namespace {

constexpr std::chrono::milliseconds kShortWait{400};

// The report mail with this description; its attachment is the file at archive (none: an
// attachment part without content).
std::unique_ptr<SmailerMail> reportMail(const char* text, const QString& archive = QString())
{
    return std::make_unique<SmailerMail>("a_b", text, QFile::encodeName(archive).toStdString());
}

// Runs a whole sending; returns the exception's message, or empty on success.
QString sendThrough(const ScriptedSmtpServer& server, const std::string& user, SmailerMail& mail,
                    std::chrono::milliseconds wait = MailSender::kDefaultTimeout)
{
    try {
        MailSender sender("127.0.0.1", user, "Err.submit7", server.port(), wait);
        sender.setFinalReplyTimeout(wait);
        sender.setMail(&mail.wrapper());
        sender.sendMail();
    } catch (const MailException& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

std::string hostName()
{
    std::string name;
    MUtils::TcpSocket::localHostName(name);
    return name;
}

} // namespace

class tst_MailSender : public QObject {
    Q_OBJECT
private slots:
    void fullDialogue();
    void refusals_data();
    void refusals();
    void splitAndMultiLineReplies();
    void ehloRefusedThenHelo();
    void emptyUserSkipsAuth();
    void stalledServerFailsAfterBound_data();
    void stalledServerFailsAfterBound();
    void hangUpMidData();
    void transparencyOnTheWire();
    void sendMailWithoutMail();
    void unresolvableAndRefused();
    void quitFailureStaysInside();
    void streamedDataEqualsWholeText_data();
    void streamedDataEqualsWholeText();
};

void tst_MailSender::fullDialogue()
{
    ScriptedSmtpServer server;
    const auto mail = reportMail("hello\r\n");
    QCOMPARE(sendThrough(server, "bug@example.com", *mail), QString());
    QVERIFY(server.waitForClientGone(30000));
    QCOMPARE(QString::fromStdString(server.steps()), QStringLiteral("CONNECT EHLO AUTH USER PASS MAIL RCPT DATA END QUIT"));
    const std::string transcript = server.transcript();
    const std::string expectedStart = "EHLO " + hostName() + "\r\nAUTH LOGIN\r\n" + Base64Helper::encode("bug@example.com") +
                                      "\r\n" + Base64Helper::encode("Err.submit7") +
                                      "\r\nMAIL FROM: <bug@example.com>\r\nRCPT TO: <bug@example.com>\r\nDATA\r\n";
    QCOMPARE(QByteArray::fromStdString(transcript.substr(0, expectedStart.size())), QByteArray::fromStdString(expectedStart));
    QVERIFY(QByteArray::fromStdString(transcript).endsWith("\r\n--#BOUNDARY#--\r\n.\r\nQUIT\r\n"));
}

void tst_MailSender::refusals_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("lastStep");
    using S = ScriptedSmtpServer;
    QTest::newRow("greeting 554") << Script{{"CONNECT", S::reply("554 go away\r\n")}} << "Server connect error" << "CONNECT";
    QTest::newRow("greeting dropped") << Script{{"CONNECT", S::close()}} << "Server connect error" << "CONNECT";
    QTest::newRow("EHLO 421") << Script{{"EHLO", S::reply("421 busy\r\n")}} << "General server error" << "EHLO";
    QTest::newRow("HELO refused too") << Script{{"EHLO", S::reply("502 no\r\n")}, {"HELO", S::reply("501 no\r\n")}}
                                      << "General server error" << "HELO";
    QTest::newRow("EHLO dropped") << Script{{"EHLO", S::close()}} << "General server error" << "EHLO";
    QTest::newRow("AUTH 504") << Script{{"AUTH", S::reply("504 unknown mechanism\r\n")}} << "Server authentication error" << "AUTH";
    QTest::newRow("AUTH dropped") << Script{{"AUTH", S::close()}} << "Server authentication error" << "AUTH";
    QTest::newRow("user 535") << Script{{"USER", S::reply("535 no\r\n")}} << "Server authentication error" << "USER";
    QTest::newRow("password 535") << Script{{"PASS", S::reply("535 5.7.8 bad credentials\r\n")}} << "Password error" << "PASS";
    QTest::newRow("password dropped") << Script{{"PASS", S::close()}} << "Password error" << "PASS";
    QTest::newRow("MAIL 550") << Script{{"MAIL", S::reply("550 no\r\n")}} << "General server error" << "MAIL";
    QTest::newRow("RCPT 550") << Script{{"RCPT", S::reply("550 no such user\r\n")}} << "General server error" << "RCPT";
    QTest::newRow("RCPT 421") << Script{{"RCPT", S::reply("421 closing\r\n")}} << "General server error" << "RCPT";
    QTest::newRow("DATA 554") << Script{{"DATA", S::reply("554 no data\r\n")}} << "Server not ready for data" << "DATA";
    QTest::newRow("end 552") << Script{{"END", S::reply("552 too big\r\n")}} << "General server error" << "END";
    QTest::newRow("end dropped") << Script{{"END", S::close()}} << "General server error" << "END";
}

void tst_MailSender::refusals()
{
    QFETCH(Script, script);
    QFETCH(QString, message);
    QFETCH(QString, lastStep);
    ScriptedSmtpServer server(script);
    const auto mail = reportMail("text");
    QCOMPARE(sendThrough(server, "bug@example.com", *mail), message);
    QVERIFY(server.waitForClientGone(30000));
    const QStringList steps = QString::fromStdString(server.steps()).split(QLatin1Char(' '));
    // After a refusal with a reply the client still says goodbye; after a hang-up it cannot.
    QVERIFY2(steps.last() == lastStep || (steps.size() >= 2 && steps.at(steps.size() - 2) == lastStep && steps.last() == "QUIT"),
             qPrintable(steps.join(' ')));
    QVERIFY(!QString::fromStdString(server.transcript()).contains(QStringLiteral("Err.submit7")));
}

void tst_MailSender::splitAndMultiLineReplies()
{
    using S = ScriptedSmtpServer;
    ScriptedSmtpServer server(Script{{"CONNECT", S::reply("220-mail.example.com ESMTP\r\n220-no UCE\r\n220 ready\r\n")},
                                     {"EHLO", S::reply("250-mail.example.com\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250-" +
                                                       std::string(500, 'X') + "\r\n250 AUTH LOGIN\r\n")}},
                              1);
    const auto mail = reportMail("text");
    QCOMPARE(sendThrough(server, "bug@example.com", *mail), QString());
    QVERIFY(server.waitForClientGone(30000));
    QCOMPARE(QString::fromStdString(server.steps()), QStringLiteral("CONNECT EHLO AUTH USER PASS MAIL RCPT DATA END QUIT"));
}

void tst_MailSender::ehloRefusedThenHelo()
{
    ScriptedSmtpServer server(Script{{"EHLO", ScriptedSmtpServer::reply("500 5.5.1 command unrecognized\r\n")}});
    const auto mail = reportMail("text");
    QCOMPARE(sendThrough(server, "bug@example.com", *mail), QString());
    QVERIFY(server.waitForClientGone(30000));
    QCOMPARE(QString::fromStdString(server.steps()), QStringLiteral("CONNECT EHLO HELO AUTH USER PASS MAIL RCPT DATA END QUIT"));
    QVERIFY(server.transcript().find("HELO " + hostName() + "\r\n") != std::string::npos);
}

void tst_MailSender::emptyUserSkipsAuth()
{
    ScriptedSmtpServer server;
    const auto mail = reportMail("text");
    QCOMPARE(sendThrough(server, std::string(), *mail), QString());
    QVERIFY(server.waitForClientGone(30000));
    QCOMPARE(QString::fromStdString(server.steps()), QStringLiteral("CONNECT EHLO MAIL RCPT DATA END QUIT"));
}

void tst_MailSender::stalledServerFailsAfterBound_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("message");
    QTest::newRow("greeting") << "CONNECT" << "Server connect error";
    QTest::newRow("EHLO") << "EHLO" << "General server error";
    QTest::newRow("password") << "PASS" << "Password error";
    QTest::newRow("DATA") << "DATA" << "Server not ready for data";
    QTest::newRow("end of data") << "END" << "General server error";
}

void tst_MailSender::stalledServerFailsAfterBound()
{
    QFETCH(QString, step);
    QFETCH(QString, message);
    ScriptedSmtpServer server(Script{{step.toStdString(), ScriptedSmtpServer::stall()}});
    const auto mail = reportMail("text");
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(sendThrough(server, "bug@example.com", *mail, kShortWait), message);
    // Bounded: the wait, not forever (no QUIT wait after a stalled step either).
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!QString::fromStdString(server.transcript()).contains(QStringLiteral("QUIT")));
}

void tst_MailSender::hangUpMidData()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.rar"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(16 * 1024 * 1024, 'a'));
    file.close();
    ScriptedSmtpServer server(Script{{"DATA", ScriptedSmtpServer::close()}});
    const auto mail = reportMail("text", path);
    const QString message = sendThrough(server, "bug@example.com", *mail, std::chrono::milliseconds(5000));
    QVERIFY2(message == QStringLiteral("Send mail content error") || message == QStringLiteral("Send mail header error"),
             qPrintable(message));
}

void tst_MailSender::transparencyOnTheWire()
{
    ScriptedSmtpServer server;
    const auto mail = reportMail("first\n.\n..x\nbare\rcr\r\n.\r\nMAIL FROM:<evil@example.com>\r\nlast");
    QCOMPARE(sendThrough(server, "bug@example.com", *mail), QString());
    QVERIFY(server.waitForClientGone(30000));
    const QByteArray data = QByteArray::fromStdString(server.data());
    QVERIFY(data.contains("\r\n\r\nfirst\r\n..\r\n...x\r\nbare\r\ncr\r\n..\r\nMAIL FROM:<evil@example.com>\r\nlast\r\n"));
    QByteArray stripped = data;
    stripped.replace("\r\n", "");
    QVERIFY(!stripped.contains('\r'));
    QVERIFY(!stripped.contains('\n'));
    // Only one mail: the injected command stayed inside the data.
    QCOMPARE(QString::fromStdString(server.steps()), QStringLiteral("CONNECT EHLO AUTH USER PASS MAIL RCPT DATA END QUIT"));
}

void tst_MailSender::sendMailWithoutMail()
{
    ScriptedSmtpServer server;
    {
        MailSender sender("127.0.0.1", "bug@example.com", "Err.submit7", server.port());
        sender.sendMail();
    }
    QVERIFY(server.waitForClientGone(30000));
    QCOMPARE(QString::fromStdString(server.steps()), QStringLiteral("CONNECT EHLO AUTH USER PASS QUIT"));
}

void tst_MailSender::unresolvableAndRefused()
{
    try {
        MailSender sender("no-such-host.invalid", "u", "p", 25, kShortWait);
        QFAIL("constructed");
    } catch (const MailException& e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Get server infomation error"));
    }
    // A port where nothing listens: the connection is refused.
    unsigned short closedPort = 0;
    {
        ScriptedSmtpServer probe;
        closedPort = probe.port();
    }
    try {
        MailSender sender("127.0.0.1", "u", "p", closedPort, kShortWait);
        QFAIL("constructed");
    } catch (const MailException& e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Server connect error"));
    }
}

void tst_MailSender::quitFailureStaysInside()
{
    ScriptedSmtpServer server(Script{{"QUIT", ScriptedSmtpServer::reply("500 what\r\n")}});
    const auto mail = reportMail("text");
    QCOMPARE(sendThrough(server, "bug@example.com", *mail), QString());
    ScriptedSmtpServer dropper(Script{{"QUIT", ScriptedSmtpServer::close()}});
    const auto other = reportMail("text");
    QCOMPARE(sendThrough(dropper, "bug@example.com", *other, kShortWait), QString());
}

void tst_MailSender::streamedDataEqualsWholeText_data()
{
    QTest::addColumn<int>("size");
    const int piece = static_cast<int>(AppOctStrmContent::kPieceBytes);
    for (int size : {0, 1, 56, 57, 58, 57 * 3, piece - 1, piece, piece + 1, piece + 57, 3 * piece + 2})
        QTest::newRow(qPrintable(QString::number(size))) << size;
}

void tst_MailSender::streamedDataEqualsWholeText()
{
    // What the sender streams in pieces is exactly the whole message text, made wire-safe.
    QFETCH(int, size);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a_b.rar"));
    QVERIFY(!writeFile(path, patternBytes(size)).isEmpty());
    const auto mail = reportMail("text\n.\nend", path);
    mail->wrapper().setClock([] { return std::time_t(1796720701); });
    ScriptedSmtpServer server;
    QCOMPARE(sendThrough(server, "bug@example.com", *mail), QString());
    QVERIFY(server.waitForClientGone(30000));

    const auto again = reportMail("text\n.\nend", path);
    MailWrapper& whole = again->wrapper();
    whole.setClock([] { return std::time_t(1796720701); });
    std::string text = whole.getHeader();
    whole.traverseContent();
    while (whole.hasMoreContent())
        text += whole.nextPart();
    const std::string end = whole.getEnd();
    text += end.substr(0, end.size() - 3); // up to the end-of-data line
    DataFilter filter;
    std::string wire;
    filter.feed(text.data(), text.size(), wire);
    filter.finish(wire);
    wire += ".\r\n";
    QCOMPARE(server.data().size(), wire.size());
    QVERIFY(server.data() == wire);
}

QTEST_GUILESS_MAIN(tst_MailSender)
#include "tst_mailsender.moc"
