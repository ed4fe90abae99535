// The report job under faults and bad input: every failure is false with every file kept, nothing
// waits past the bound, and nothing from outside reaches the SMTP commands or leaves the dumps
// folder.

#include "tests/tools/archivecheck.h"
#include "dispatch/handler.h"
#include "dispatch/smtpsettings.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"
#include "tests/tools/testcerts.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

using Script = std::map<std::string, ScriptedSmtpServer::Step>;
Q_DECLARE_METATYPE(Script)


class tst_ReportFaults : public QObject {
    Q_OBJECT
private slots:
    void serverFaultsKeepFiles_data();
    void serverFaultsKeepFiles();
    void dumpNames_data();
    void dumpNames();
    void descriptions_data();
    void descriptions();
    void configuredAddressCannotInject();
    void invalidSettingsSendNothing_data();
    void invalidSettingsSendNothing();
    void tlsRefusalsKeepDump_data();
    void tlsRefusalsKeepDump();
};

void tst_ReportFaults::serverFaultsKeepFiles_data()
{
    QTest::addColumn<Script>("script");
    using S = ScriptedSmtpServer;
    // A fault at a step; a greeting refused with 5xx is tried again with HELO, which fails alike.
    const auto at = [](const std::string& step, const S::Step& what) {
        return step == "EHLO" ? Script{{"EHLO", what}, {"HELO", what}} : Script{{step, what}};
    };
    for (const char* step : {"CONNECT", "EHLO", "AUTH", "USER", "PASS", "MAIL", "RCPT", "DATA", "END"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1 hangs up").arg(step))) << at(step, S::close());
        QTest::newRow(qPrintable(QStringLiteral("%1 421").arg(step))) << at(step, S::reply("421 4.3.2 shutting down\r\n"));
        QTest::newRow(qPrintable(QStringLiteral("%1 451").arg(step))) << at(step, S::reply("451 4.3.0 try later\r\n"));
        QTest::newRow(qPrintable(QStringLiteral("%1 554").arg(step))) << at(step, S::reply("554 5.7.1 refused\r\n"));
        // After the end of the data the wait is ten minutes by design: that stall ends in a hang-up.
        QTest::newRow(qPrintable(QStringLiteral("%1 stalls").arg(step)))
            << at(step, std::string(step) == "END" ? S::stall(1500) : S::stall());
    }
    QTest::newRow("megabytes without a line end") << Script{{"EHLO", S::reply(std::string(3 << 20, 'x'))}};
    QTest::newRow("NUL in the greeting") << Script{{"CONNECT", S::reply(std::string("22\0 x\r\n", 7))}};
}

void tst_ReportFaults::serverFaultsKeepFiles()
{
    QFETCH(Script, script);
    ScriptedSmtpServer server(script);
    const ScopedEnv env = pointMailAt(server.port(), 1);
    TestHost host(QStringLiteral("a_b"), QByteArray(10000, 'x'));
    Handler handler;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!handler.doMail(sendChoice(QStringLiteral("text")), host.info));
    // The bound is 1 s a wait; a stall costs one wait, never a QUIT wait on top.
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(QFile::exists(host.info.dumpFile));
    QVERIFY(QFile::exists(host.info.logFiles.first()));
    QCOMPARE(host.pendingArchives().size(), 1);
    QVERIFY(ArchiveCheck::of(host.pendingArchives().first()).readable);
}

void tst_ReportFaults::dumpNames_data()
{
    QTest::addColumn<QString>("dumpName");
    QTest::addColumn<QString>("entry");
    QTest::newRow("spaces") << "crash report 1" << "crash report 1.dmp";
    QTest::newRow("slash") << "a/b" << "a_b.dmp";
    QTest::newRow("climbing out") << "../../../tmp/evil" << ".._.._.._tmp_evil.dmp";
    QTest::newRow("dot dot") << ".." << "...dmp";
    QTest::newRow("backslash") << "..\\..\\x" << ".._.._x.dmp";
    QTest::newRow("line break") << "a\r\nSubject: forged" << "a__Subject: forged.dmp";
    QTest::newRow("Chinese") << "崩溃_报告" << "崩溃_报告.dmp";
    QTest::newRow("4 KB") << QString(4096, QLatin1Char('n')) << QString(200, QLatin1Char('n')) + ".dmp";
    QTest::newRow("4 KB Chinese") << QString(1400, QChar(0x5D29)) << QString(66, QChar(0x5D29)) + ".dmp";
    QTest::newRow("unpaired surrogate") << QString(QChar(0xD800)) + "x" << "_x.dmp";
    QTest::newRow("empty") << "" << ".dmp";
    QTest::newRow("outside GB2312") << QStringLiteral("崩溃😀𠀀_b") << QStringLiteral("崩溃😀𠀀_b.dmp");
}

void tst_ReportFaults::dumpNames()
{
    QFETCH(QString, dumpName);
    QFETCH(QString, entry);
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 1);
    TestHost host(dumpName, QByteArray(10000, 'x'));
    const QStringList before = host.files();
    Handler handler;
    QVERIFY(handler.doMail(sendChoice(), host.info));
    // Only the dump went away; nothing was written anywhere else.
    QStringList expected = before;
    expected.removeAll(QStringLiteral("host/dumps/x.dmp"));
    expected << QStringLiteral("host/dumps/pending/sent.log"); // the hourly count of mailed reports
    expected.sort();
    QCOMPARE(host.files(), expected);

    QCOMPARE(sink.mails().size(), 1);
    QTemporaryDir out;
    const QString attachment = out.filePath(QStringLiteral("report.zip"));
    const QJsonObject mail = SmtpSink::parse(sink.mails().first(), attachment);
    QVERIFY(mail.value("max_line").toInt() <= 998);
    const QString subject = mail.value("subject").toString();
    QVERIFY2(subject.startsWith(QStringLiteral("bug report : ")), qPrintable(subject));
    if (dumpName.size() < 200 && !dumpName.contains(QChar(0xD800)))
        QCOMPARE(subject, QStringLiteral("bug report : ") + dumpName);
    const ArchiveCheck check = ArchiveCheck::of(attachment);
    QVERIFY(check.readable);
    QCOMPARE(check.names().size(), 1 + host.info.logFiles.size());
    const QString name = check.names().first();
    QVERIFY(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
    QCOMPARE(name, entry);
}

void tst_ReportFaults::descriptions_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("arrives");
    QTest::addColumn<QString>("charset");
    const QString longLine(10000, QChar(0x5B57));
    const QString megabyte = QString(QStringLiteral("一行描述 with some words, and more.\n")).repeated(30000);
    QTest::newRow("empty") << "" << "" << "gb2312";
    QTest::newRow("NUL cuts the text") << QStringLiteral("before") + QChar(0) + QStringLiteral("after") << "before" << "gb2312";
    QTest::newRow("lone CR") << "one\rtwo" << "one\r\ntwo" << "gb2312";
    QTest::newRow("end-of-data and commands") << ".\r\nQUIT\r\nMAIL FROM:<x@y>\r\n.." << ".\r\nQUIT\r\nMAIL FROM:<x@y>\r\n.." << "gb2312";
    QTest::newRow("10 000-character line") << longLine + "\nshort" << longLine + "\nshort" << "gb2312";
    QTest::newRow("1 MB") << megabyte << QString(megabyte).replace("\n", "\r\n") << "gb2312";
    // GB2312 readers decode the cell of "——" as another dash: the label must not claim gb2312.
    QTest::newRow("em dash") << QStringLiteral("它——崩溃") << QStringLiteral("它——崩溃") << "GB18030";
    QTest::newRow("outside GB2312") << QStringLiteral("😀 𠀀 é") << QStringLiteral("😀 𠀀 é") << "GB18030";
}

void tst_ReportFaults::descriptions()
{
    QFETCH(QString, description);
    QFETCH(QString, arrives);
    QFETCH(QString, charset);
    SmtpSink sink; // stock aiosmtpd: refuses lines over 1000 octets
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 30);
    TestHost host(QStringLiteral("a_b"), QByteArray(10000, 'x'));
    Handler handler;
    QVERIFY(handler.doMail(sendChoice(description), host.info));
    QCOMPARE(sink.mails().size(), 1);
    const QJsonObject mail = SmtpSink::parse(sink.mails().first());
    QVERIFY(mail.value("max_line").toInt() <= 998);
    QCOMPARE(mail.value("bare_lf").toInt(), 0);
    const QJsonObject part = mail.value("parts").toArray().at(0).toObject();
    QCOMPARE(part.value("charset").toString(), charset.toLower());
    QString text = part.value("text").toString();
    // An 8bit part gains the line end before the boundary; a base64 part is exact.
    if (part.value("encoding").toString() == QLatin1String("8bit")) {
        QVERIFY(text.endsWith(QStringLiteral("\r\n")));
        text.chop(2);
    }
    QCOMPARE(text.size(), arrives.size());
    QVERIFY(text == arrives);
}

void tst_ReportFaults::configuredAddressCannotInject()
{
    ScriptedSmtpServer server;
    ScopedEnv env = pointMailAt(server.port(), 1);
    env.set("CRASHUI_MAILBOX", "bug@example.com>\r\nRCPT TO:<other@example.com");
    TestHost host(QStringLiteral("a_b"), QByteArray(10000, 'x'));
    Handler handler;
    QVERIFY(!handler.doMail(sendChoice(), host.info));
    QVERIFY(server.waitForClientGone(30000));
    QVERIFY(!QString::fromStdString(server.transcript()).contains(QStringLiteral("other@example.com")));
    QVERIFY(QFile::exists(host.info.dumpFile));
}

void tst_ReportFaults::invalidSettingsSendNothing_data()
{
    // Found by a hostile tester: a bad port silently became 25, and the mail went to whatever
    // listened there.
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    for (const char* port : {"99999", "-1", "abc", "0", "65536", "25x"})
        QTest::newRow(qPrintable(QStringLiteral("port %1").arg(QLatin1String(port)))) << QByteArray("CRASHUI_SMTP_PORT")
                                                                                       << QByteArray(port);
    for (const char* timeout : {"0", "-5", "abc", "99999999999"})
        QTest::newRow(qPrintable(QStringLiteral("time-out %1").arg(QLatin1String(timeout))))
            << QByteArray("CRASHUI_SMTP_TIMEOUT") << QByteArray(timeout);
    QTest::newRow("security misspelt") << QByteArray("CRASHUI_SMTP_SECURITY") << QByteArray("startls");
}

void tst_ReportFaults::invalidSettingsSendNothing()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    ScriptedSmtpServer server;
    ScopedEnv env = pointMailAt(server.port(), 1);
    env.set(name.constData(), value);
    QCOMPARE(SmtpSettings::current().error,
             QStringLiteral("invalid %1: \"%2\"").arg(QString::fromLatin1(name), QString::fromLatin1(value)));
    TestHost host(QStringLiteral("a_b"), QByteArray(10000, 'x'));
    Handler handler;
    QVERIFY(!handler.doMail(sendChoice(), host.info));
    QVERIFY(QFile::exists(host.info.dumpFile));
    QCOMPARE(QString::fromStdString(server.steps()), QString()); // nobody was contacted
}

void tst_ReportFaults::tlsRefusalsKeepDump_data()
{
    QTest::addColumn<QByteArray>("security");
    QTest::addColumn<bool>("trustCa");
    QTest::addColumn<bool>("sent");
    QTest::newRow("STARTTLS, trusted") << QByteArray("starttls") << true << true;
    QTest::newRow("STARTTLS, CA not trusted") << QByteArray("starttls") << false << false;
    QTest::newRow("TLS expected, STARTTLS server") << QByteArray("tls") << true << false;
    QTest::newRow("misspelt setting") << QByteArray("startls") << true << false;
    QTest::newRow("clear text") << QByteArray("none") << true << false;
}

void tst_ReportFaults::tlsRefusalsKeepDump()
{
    QFETCH(QByteArray, security);
    QFETCH(bool, trustCa);
    QFETCH(bool, sent);
    TestCerts certs;
    QVERIFY2(certs.ok(), qPrintable(certs.error()));
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(),
                  {QStringLiteral("--tls"), QStringLiteral("starttls"), QStringLiteral("--cert"), certs.serverCert(),
                   QStringLiteral("--key"), certs.serverKey()});
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ScopedEnv env = pointMailAt(sink.port(), 5, "localhost");
    env.set("CRASHUI_SMTP_SECURITY", security)
        .set("CRASHUI_SMTP_CAFILE", trustCa ? QFile::encodeName(certs.caFile()) : QByteArray());
    TestHost host(QStringLiteral("a_b"), QByteArray(10000, 'x'));
    Handler handler;
    const bool result = handler.doMail(sendChoice(QStringLiteral("over TLS")), host.info);
    QCOMPARE(result, sent);
    QCOMPARE(sink.mails().size(), sent ? 1 : 0);
    QCOMPARE(QFile::exists(host.info.dumpFile), !sent);
}

QTEST_GUILESS_MAIN(tst_ReportFaults)
#include "tst_reportfaults.moc"
