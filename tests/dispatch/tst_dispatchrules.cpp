// The dispatch's rules as pure functions: the deployment read once, the retry decision, the cut of
// a large report and the kind of a mail failure. Data rows, no server and no clock.

#include "dispatch/cutplan.h"
#include "dispatch/dispatchconfig.h"
#include "dispatch/reportmail.h"
#include "dispatch/retrypolicy.h"
#include "tests/tools/testhost.h"

#include <QtTest>

Q_DECLARE_METATYPE(FailureKind)

class tst_DispatchRules : public QObject {
    Q_OBJECT
private slots:
    void configErrors_data();
    void configErrors();
    void retry_data();
    void retry();
    void cut_data();
    void cut();
    void failureKind_data();
    void failureKind();
};

void tst_DispatchRules::configErrors_data()
{
    QTest::addColumn<QByteArrayList>("settings"); // NAME=value
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("mailError");
    QTest::newRow("all valid") << QByteArrayList{} << ""
                               << "";
    // It used to be ignored in silence: now no mail goes with a limit that had to be guessed.
    QTest::newRow("hourly limit") << QByteArrayList{"CRASHUI_MAX_REPORTS_PER_HOUR=lots"}
                                  << "invalid CRASHUI_MAX_REPORTS_PER_HOUR: \"lots\""
                                  << "invalid CRASHUI_MAX_REPORTS_PER_HOUR: \"lots\"";
    QTest::newRow("three at once") << QByteArrayList{"CRASHUI_SMTP_PORT=99999", "CRASHUI_MAX_PARTS=0",
                                                     "CRASHUI_SMTP_SECURITY=ssl"}
                                   << "invalid CRASHUI_MAX_PARTS: \"0\"; invalid CRASHUI_SMTP_PORT: \"99999\"; "
                                      "invalid CRASHUI_SMTP_SECURITY: \"ssl\""
                                   << "invalid CRASHUI_MAX_PARTS: \"0\"; invalid CRASHUI_SMTP_PORT: \"99999\"; "
                                      "invalid CRASHUI_SMTP_SECURITY: \"ssl\"";
    // Values the mail does not depend on are named, and the mail still goes.
    QTest::newRow("bounds, restart, guard, resend")
        << QByteArrayList{"CRASHUI_PENDING_MAX_DAYS=-1", "CRASHUI_RESTART_AFTER=later",
                          "CRASHUI_RESTART_GUARD_SECONDS=1e3", "CRASHUI_RESEND_WHEN_ONLINE=maybe"}
        << "invalid CRASHUI_PENDING_MAX_DAYS: \"-1\"; invalid CRASHUI_RESTART_AFTER: \"later\"; "
           "invalid CRASHUI_RESTART_GUARD_SECONDS: \"1e3\"; invalid CRASHUI_RESEND_WHEN_ONLINE: \"maybe\""
        << "";
    QTest::newRow("the password is never named") << QByteArrayList{"CRASHUI_SMTP_PASSWORD=x@y", "CRASHUI_MAIL_TO=x@y>"}
                                                 << "invalid CRASHUI_MAIL_TO: \"[hidden]>\""
                                                 << "invalid CRASHUI_MAIL_TO: \"[hidden]>\"";
}

void tst_DispatchRules::configErrors()
{
    QFETCH(QByteArrayList, settings);
    QFETCH(QString, error);
    QFETCH(QString, mailError);
    ScopedEnv env = pointMailAt(25);
    for (const QByteArray& setting : settings) {
        const int equals = setting.indexOf('=');
        env.set(setting.left(equals).constData(), setting.mid(equals + 1));
    }
    const QTemporaryDir none; // no configuration file: compiled-in values and the environment
    const DispatchConfig config = DispatchConfig::from(DeploymentConfig(none.filePath("crashui.conf"), true));
    QCOMPARE(config.error, error);
    QCOMPARE(config.mailError, mailError);
}

void tst_DispatchRules::retry_data()
{
    QTest::addColumn<FailureKind>("kind");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<int>("minutesSince"); // since the last attempt
    QTest::addColumn<bool>("sameConfig");
    QTest::addColumn<bool>("due");
    QTest::addColumn<int>("nextInMinutes"); // -1: only a configuration change makes it due
    using K = FailureKind;
    QTest::newRow("never tried") << K::Configuration << 0 << 0 << true << true << 0;
    QTest::newRow("temporary, 14 min after the first") << K::Temporary << 1 << 14 << true << false << 1;
    QTest::newRow("temporary, 15 min after the first") << K::Temporary << 1 << 15 << true << true << 0;
    QTest::newRow("temporary, third waits an hour") << K::Temporary << 3 << 59 << true << false << 1;
    QTest::newRow("temporary, at most a day") << K::Temporary << 20 << 24 * 60 << true << true << 0;
    QTest::newRow("permanent, after 2 h") << K::Permanent << 1 << 120 << true << false << 22 * 60;
    QTest::newRow("permanent, after a day") << K::Permanent << 1 << 24 * 60 << true << true << 0;
    QTest::newRow("configuration, a week on") << K::Configuration << 1 << 7 * 24 * 60 << true << false << -1;
    QTest::newRow("configuration changed") << K::Configuration << 1 << 0 << false << true << 0;
    QTest::newRow("attempt in the future counts as now") << K::Temporary << 1 << -600 << true << false << 15;
}

void tst_DispatchRules::retry()
{
    QFETCH(FailureKind, kind);
    QFETCH(int, attempts);
    QFETCH(int, minutesSince);
    QFETCH(bool, sameConfig);
    QFETCH(bool, due);
    QFETCH(int, nextInMinutes);
    const QDateTime now(QDate(2026, 12, 9), QTime(12, 0), Qt::UTC);
    const QDateTime last = now.addSecs(-60 * minutesSince);
    const RetryDecision decision = decideRetry(kind, attempts, last, QStringLiteral("stamp-a"), now,
                                               sameConfig ? QStringLiteral("stamp-a") : QStringLiteral("stamp-b"));
    QCOMPARE(decision.due, due);
    QCOMPARE(decision.why.isEmpty(), due);
    if (nextInMinutes < 0) {
        QVERIFY(!decision.next.isValid());
        QCOMPARE(decision.why, QStringLiteral("not retried until the configuration changes"));
    } else {
        QCOMPARE(now.secsTo(decision.next), 60 * nextInMinutes);
    }
}

void tst_DispatchRules::cut_data()
{
    QTest::addColumn<quint64>("archive");
    QTest::addColumn<quint64>("wholeMail");
    QTest::addColumn<quint64>("overhead");
    QTest::addColumn<quint64>("limit");
    QTest::addColumn<int>("count");
    QTest::addColumn<quint64>("pieceBytes");
    QTest::newRow("no limit") << quint64(10000000) << quint64(13700000) << quint64(2000) << quint64(0) << 1
                              << quint64(10000000);
    QTest::newRow("under the limit") << quint64(1000) << quint64(3000) << quint64(2000) << quint64(3001) << 1
                                     << quint64(1000);
    // 2 700 of budget less 2 000 leave 8 base64 lines of 57 bytes a mail.
    QTest::newRow("at the limit: cut") << quint64(1000) << quint64(3000) << quint64(2000) << quint64(3000) << 3
                                       << quint64(456);
    // 90 % of 1 000 000 is 900 000; less 2 000 overhead is 11 512 base64 lines of 57 bytes.
    QTest::newRow("ten megabytes under a megabyte")
        << quint64(10000000) << quint64(13700000) << quint64(2000) << quint64(1000000) << 16 << quint64(656184);
    QTest::newRow("overhead fills the budget")
        << quint64(5000) << quint64(9000) << quint64(900) << quint64(1000) << 0 << quint64(5000);
}

void tst_DispatchRules::cut()
{
    QFETCH(quint64, archive);
    QFETCH(quint64, wholeMail);
    QFETCH(quint64, overhead);
    QFETCH(quint64, limit);
    QFETCH(int, count);
    QFETCH(quint64, pieceBytes);
    const CutPlan plan = planCut(archive, wholeMail, overhead, limit);
    QCOMPARE(plan.count, count);
    QCOMPARE(plan.pieceBytes, pieceBytes);
    if (plan.count > 1) {
        // The pieces cover the archive exactly once, and a recorded cut is recognised as such.
        QVERIFY(cutCovers(plan.count, plan.pieceBytes, archive));
        QVERIFY(!cutCovers(plan.count + 1, plan.pieceBytes, archive));
        const OpenArchive whole{-1, archive, QStringLiteral("r.rar"), 0, nullptr};
        quint64 total = 0;
        for (int index = 1; index <= plan.count; ++index) {
            const OpenArchive piece = pieceOf(whole, plan.pieceBytes, index);
            QCOMPARE(piece.offset, total);
            total += piece.size;
        }
        QCOMPARE(total, archive);
    }
}

void tst_DispatchRules::failureKind_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("network");
    QTest::addColumn<FailureKind>("kind");
    using K = FailureKind;
    QTest::newRow("no connection") << "Server connect error"
                                   << "could not connect to h:25: connection refused" << true << K::Temporary;
    QTest::newRow("login refused 535") << "Password error"
                                       << "login refused by h:587: 535 5.7.8 bad credentials" << false
                                       << K::Configuration;
    QTest::newRow("login refused 454") << "Password error"
                                       << "login refused by h:587: 454 4.7.0 try later" << false << K::Temporary;
    QTest::newRow("mail refused 554") << "General server error"
                                      << "the report refused by h:25: 554 5.6.0 content refused" << false
                                      << K::Permanent;
    QTest::newRow("receiver refused 550") << "General server error"
                                          << "receiver refused by h:25: 550 5.1.1 unknown" << false << K::Permanent;
    QTest::newRow("data 451") << "General server error"
                              << "the report refused by h:25: 451 4.3.0 later" << false << K::Temporary;
    QTest::newRow("IPv6 server") << "General server error"
                                 << "sender refused by ::1:25: 553 5.7.1 no: not you" << false << K::Permanent;
    QTest::newRow("certificate") << "Server certificate verification error"
                                 << "server certificate not trusted (h:465)" << false << K::Configuration;
    QTest::newRow("no STARTTLS") << "Server does not support STARTTLS"
                                 << "h:25 does not offer STARTTLS" << false << K::Configuration;
    QTest::newRow("line break in a value")
        << "Mail from error"
        << "a configured value holds a line break; nothing was sent while naming" << false << K::Configuration;
}

void tst_DispatchRules::failureKind()
{
    QFETCH(QString, message);
    QFETCH(QString, reason);
    QFETCH(bool, network);
    QFETCH(FailureKind, kind);
    QCOMPARE(mailFailureKind(message.toStdString(), reason.toStdString(), network), kind);
}

QTEST_GUILESS_MAIN(tst_DispatchRules)
#include "tst_dispatchrules.moc"
