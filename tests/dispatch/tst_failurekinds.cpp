// One report whose mail fails, for each kind of failure: what the user is told, what the pending
// record keeps, and when a later run tries it again (the store's clock is moved, not waited for).
// And the size probe before a resend logs in as the mail does.

#include "dispatch/handler.h"
#include "dispatch/pendingsender.h"
#include "tests/tools/pendingfixture.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/testhost.h"

#include <QtTest>

using Script = std::map<std::string, ScriptedSmtpServer::Step>;
Q_DECLARE_METATYPE(Script)
Q_DECLARE_METATYPE(FailureKind)

class tst_FailureKinds : public QObject {
    Q_OBJECT
private slots:
    void keptUntil_data();
    void keptUntil();
    void sizeProbeLogsInAsTheMail_data();
    void sizeProbeLogsInAsTheMail();
};

void tst_FailureKinds::keptUntil_data()
{
    using S = ScriptedSmtpServer;
    QTest::addColumn<Script>("script");
    QTest::addColumn<FailureKind>("kind");
    QTest::addColumn<QString>("note");       // what the reason adds for the kind
    QTest::addColumn<QString>("waiting");    // the later run's line while it waits
    QTest::addColumn<int>("stillKeptAfter"); // seconds after the failure: not tried
    QTest::addColumn<int>("triedAfter");     // seconds after the failure: tried again
    QTest::addColumn<bool>("changeConfig");  // the password is changed before that
    QTest::newRow("login refused 535: configuration")
        << Script{{"PASS", S::reply("535 5.7.8 credentials invalid\r\n")}} << FailureKind::Configuration
        << "; not retried until the configuration changes"
        << "not retried until the configuration changes" << 7 * 24 * 3600 << 7 * 24 * 3600 << true;
    QTest::newRow("mail refused 554: permanent")
        << Script{{"END", S::reply("554 5.6.0 content refused\r\n")}} << FailureKind::Permanent
        << "; the server refused this report: it is kept and tried again once a day"
        << "refused by the server, retried once a day" << 2 * 3600 << 24 * 3600 << false;
    QTest::newRow("server busy 451: temporary")
        << Script{{"END", S::reply("451 4.3.0 try later\r\n")}} << FailureKind::Temporary << ""
        << "not due yet" << 14 * 60 << 15 * 60 << false;
}

void tst_FailureKinds::keptUntil()
{
    QFETCH(Script, script);
    QFETCH(FailureKind, kind);
    QFETCH(QString, note);
    QFETCH(QString, waiting);
    QFETCH(int, stillKeptAfter);
    QFETCH(int, triedAfter);
    QFETCH(bool, changeConfig);
    ScriptedSmtpServer server(script);
    ScopedEnv env = pointMailAt(server.port(), 30);
    TestHost host;
    DispatchOutcome outcome;
    Handler handler;
    handler.setOutcome(&outcome);
    QVERIFY(!handler.doMail(sendChoice(QStringLiteral("text")), host.info));
    QVERIFY(outcome.kept());
    QVERIFY2(outcome.reason().endsWith(note) && outcome.reason().contains(QStringLiteral(" refused by 127.0.0.1:")),
             qPrintable(outcome.reason()));
    QVERIFY(server.waitForClientGone(30000)); // it serves one connection: any later try is refused

    PendingRecord record = PendingStore(host.info.dumpDir).list().value(0);
    QCOMPARE(record.failureKind, kind);
    QCOMPARE(record.attempts, 1);
    QCOMPARE(record.configStamp.isEmpty(), kind != FailureKind::Configuration);
    QVERIFY(!record.configStamp.contains(QStringLiteral("Err.submit7")));
    QVERIFY(QFile::exists(host.info.dumpFile));

    QDateTime now = record.lastAttempt.addSecs(stillKeptAfter);
    PendingStore store(host.info.dumpDir, [&now] { return now; });
    QStringList lines;
    QCOMPARE(PendingSender(store, [&](const QString& line) { lines << line; }).sendDue(false), 1);
    QVERIFY2(lines.value(0).startsWith(QStringLiteral("kept %1: %2 (1 attempts").arg(record.id, waiting)),
             qPrintable(lines.value(0)));
    QCOMPARE(store.list().value(0).attempts, 1);
    if (kind == FailureKind::Configuration) {
        // The network coming back changes nothing about a refused login.
        QCOMPARE(PendingSender(store).sendDue(true), 1);
        QCOMPARE(store.list().value(0).attempts, 1);
    }

    if (changeConfig)
        env.set("CRASHUI_SMTP_PASSWORD", "Err.submit8");
    now = record.lastAttempt.addSecs(triedAfter);
    QCOMPARE(PendingSender(store).sendDue(false), 1);
    record = store.list().value(0);
    QCOMPARE(record.attempts, 2); // tried, and refused: nobody listens any more
    QCOMPARE(record.failureKind, FailureKind::Temporary);
    QVERIFY(QFile::exists(host.info.dumpFile));
}

void tst_FailureKinds::sizeProbeLogsInAsTheMail_data()
{
    QTest::addColumn<QByteArray>("auth");
    QTest::addColumn<QByteArray>("present"); // in both sessions: the probe's and the mail's
    QTest::addColumn<QByteArray>("absent");
    QTest::newRow("no login") << QByteArray("none") << QByteArray("MAIL FROM") << QByteArray("AUTH");
    QTest::newRow("AUTH PLAIN with a login of its own")
        << QByteArray("plain") << "AUTH PLAIN " + QByteArray("\0reporter-7\0Err.submit7", 23).toBase64()
        << QByteArray("AUTH LOGIN");
}

// Found in review: the probe of the server's size limit logged in with AUTH LOGIN as the mailbox,
// whatever CRASHUI_SMTP_AUTH and CRASHUI_SMTP_USER said.
void tst_FailureKinds::sizeProbeLogsInAsTheMail()
{
    QFETCH(QByteArray, auth);
    QFETCH(QByteArray, present);
    QFETCH(QByteArray, absent);
    ScriptedSmtpServer server({}, 0, 2);
    ScopedEnv env = pointMailAt(server.port(), 30);
    env.set("CRASHUI_SMTP_AUTH", auth).set("CRASHUI_SMTP_USER", "reporter-7");
    TestHost host;
    const QString id = makePendingReport(host, 60);
    PendingStore store(host.info.dumpDir);
    {
        // A limit learnt before, far above this report: the sender asks the server for it anew.
        const std::unique_ptr<PendingReport> report = store.take(id);
        QVERIFY(report);
        report->update().sizeLimit = 100 * 1000 * 1000;
        QVERIFY(report->save());
    }
    QCOMPARE(PendingSender(store).sendDue(true), 0);
    const QByteArray transcript = QByteArray::fromStdString(server.transcript());
    QCOMPARE(transcript.count("EHLO "), 2);
    QCOMPARE(transcript.count(present), auth == "none" ? 1 : 2);
    QVERIFY2(!transcript.contains(absent), transcript.constData());
}

QTEST_GUILESS_MAIN(tst_FailureKinds)
#include "tst_failurekinds.moc"
