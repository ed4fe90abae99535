// Pending reports: what a failed sending keeps, how it is sent later, the bounds of the store and
// the backoff, with a real mail server (aiosmtpd) and an injected clock.

#include "dispatch/handler.h"
#include "dispatch/pendingsender.h"
#include "dispatch/pendingstore.h"
#include "report/restartguard.h"
#include "tests/tools/archivecheck.h"
#include "tests/tools/hostilestore.h"
#include "tests/tools/refusingport.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Another crash of the same host: a new dump in the same dumps folder.
ParamInfo nextCrash(const TestHost& host, const QString& dumpName, const QString& dumpFileName, quint32 seed,
                    int size = 50 * 1024)
{
    ParamInfo info = host.info;
    info.dumpName = dumpName;
    info.dumpFile = writeFile(host.info.dumpDir + QLatin1Char('/') + dumpFileName, randomBytes(size, seed));
    return info;
}

// A clock the test moves.
struct TestClock {
    QDateTime now = QDateTime(QDate(2026, 12, 9), QTime(10, 0), Qt::UTC);
    PendingStore::Clock clock()
    {
        return [this] { return now; };
    }
};

// Runs the crashui binary to the end: no display, no platform plugin, the mail pointed by env.
struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

QProcessEnvironment programEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

QString binary()
{
    return QString::fromLocal8Bit(qgetenv("CRASHUI_BINARY"));
}

Run runCrashui(const QStringList& arguments, const QProcessEnvironment& env = programEnvironment(),
               const QString& wrapper = QString(), int timeoutMs = 120000)
{
    QProcess process;
    process.setProcessEnvironment(env);
    if (wrapper.isEmpty())
        process.start(binary(), arguments);
    else
        process.start(wrapper, QStringList{QStringLiteral("-f"), QStringLiteral("+16m"), binary()} + arguments);
    Run run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// A pending report of host whose last attempt failed minutesAgo minutes ago (none when negative).
QString pendingReport(const TestHost& host, int minutesAgo, const QString& description = QStringLiteral("kept"))
{
    TestClock clock;
    clock.now = QDateTime::currentDateTimeUtc().addSecs(-60 * qMax(minutesAgo, 0));
    PendingStore store(host.info.dumpDir, clock.clock());
    const std::unique_ptr<PendingReport> report = store.create(host.info, description, QStringLiteral("bug@example.com"));
    if (!report)
        return QString();
    if (minutesAgo >= 0)
        report->failed(QStringLiteral("could not connect to 127.0.0.1:9: connection refused"));
    return report->record().id;
}

ScopedEnv mailEnvironment(QProcessEnvironment& env, quint16 port)
{
    ScopedEnv scoped = pointMailAt(port, 5);
    for (const char* name : {"CRASHUI_SMTP_HOST", "CRASHUI_SMTP_PORT", "CRASHUI_MAILBOX", "CRASHUI_SMTP_PASSWORD",
                             "CRASHUI_SMTP_TIMEOUT"})
        env.insert(QString::fromLatin1(name), QString::fromUtf8(qgetenv(name)));
    return scoped;
}

} // namespace

class tst_Pending : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void keptThenSentAfterTheNextReport();
    void sameDumpNameTwiceWhileDown();
    void bounds_data();
    void bounds();
    void backoff_data();
    void backoff();
    void heldReportIsNotSentTwice();
    void headless_data();
    void headless();
    void backoffOfTheBinary();
    void twoHeadlessRunsAtOnce();
    void killedWhileSending_data();
    void killedWhileSending();
    void killedWhilePacking();
    void newestIsNeverDropped_data();
    void newestIsNeverDropped();
    void hostileStore_data();
    void hostileStore();
    void storeFileIsAFifo_data();
    void storeFileIsAFifo();
    void clockWasAhead_data();
    void clockWasAhead();
    void invalidHourlyLimit_data();
    void invalidHourlyLimit();
    void sameDumpConfirmedTwice();
    void relativeRootResentFromElsewhere();
};

void tst_Pending::initTestCase()
{
    qRegisterMetaType<Message>("Message");
}

void tst_Pending::keptThenSentAfterTheNextReport()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(80 * 1024, 1));
    const QByteArray firstHash = ArchiveCheck::sha256Of(host.info.dumpFile);
    DispatchOutcome outcome;
    {
        const ScopedEnv env = pointMailAt(deadPort(), 5);
        Handler handler;
        handler.setOutcome(&outcome);
        QVERIFY(!handler.doMail(sendChoice(QStringLiteral("第一次崩溃")), host.info));
    }
    QVERIFY2(outcome.reason().contains(QStringLiteral("connection refused")), qPrintable(outcome.reason()));
    QVERIFY(outcome.kept());
    QCOMPARE(host.pendingArchives().size(), 1);
    QVERIFY(QFile::exists(host.info.dumpFile));

    // The server is up again; the next crash's run sends its own report, then the old one, with
    // its own description and archive.
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 5);
    const ParamInfo second = nextCrash(host, QStringLiteral("c_d"), QStringLiteral("y.dmp"), 2);
    const QByteArray secondHash = ArchiveCheck::sha256Of(second.dumpFile);
    Handler handler;
    handler.setCrashContext(second);
    QSignalSpy closed(&handler, &Handler::sig_close);
    handler.slot_crashInfo(sendChoice(QStringLiteral("second")));
    QVERIFY(closed.wait(60000));
    QCOMPARE(closed.first().first().toBool(), true);

    QCOMPARE(sink.mails().size(), 2);
    QTemporaryDir out;
    const QStringList descriptions{QStringLiteral("second"), QStringLiteral("第一次崩溃")};
    const QList<QByteArray> hashes{secondHash, firstHash};
    const QStringList subjects{QStringLiteral("bug report : c_d"), QStringLiteral("bug report : a_b")};
    for (int i = 0; i < 2; ++i) {
        const QString attachment = out.filePath(QStringLiteral("%1.zip").arg(i));
        const QJsonObject mail = SmtpSink::parse(sink.mails().at(i), attachment);
        QCOMPARE(mail.value("subject").toString(), subjects.at(i));
        QCOMPARE(mail.value("parts").toArray().at(0).toObject().value("text").toString(), descriptions.at(i) + "\r\n");
        QCOMPARE(ArchiveCheck::of(attachment).entries.value(0).sha256, hashes.at(i));
        QVERIFY(mail.value("message_id").toString().startsWith(QStringLiteral("<crashui.")));
    }
    QVERIFY(!QFile::exists(host.info.dumpFile));
    QVERIFY(!QFile::exists(second.dumpFile));
    QVERIFY(host.pendingArchives().isEmpty());
    QVERIFY(QFile::exists(host.info.logFiles.first())); // logs are never removed
}

void tst_Pending::sameDumpNameTwiceWhileDown()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(30 * 1024, 1));
    const ParamInfo second = nextCrash(host, QStringLiteral("a_b"), QStringLiteral("y.dmp"), 2);
    {
        const ScopedEnv env = pointMailAt(deadPort(), 5);
        Handler handler;
        QVERIFY(!handler.doMail(sendChoice(QStringLiteral("one")), host.info));
        QVERIFY(!handler.doMail(sendChoice(QStringLiteral("two")), second));
    }
    QCOMPARE(host.pendingArchives().size(), 2);

    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 5);
    PendingStore store(host.info.dumpDir);
    QStringList lines;
    // Right after a failure they are not due; as after an accepted report, every one is.
    QCOMPARE(PendingSender(store, [&](const QString& line) { lines << line; }).sendDue(true), 0);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).startsWith(QStringLiteral("sent a_b_")));
    QCOMPARE(sink.mails().size(), 2);
    QCOMPARE(SmtpSink::parse(sink.mails().at(0)).value("parts").toArray().at(0).toObject().value("text").toString(),
             QStringLiteral("one\r\n"));
    QVERIFY(!QFile::exists(host.info.dumpFile));
    QVERIFY(!QFile::exists(second.dumpFile));
}

void tst_Pending::bounds_data()
{
    QTest::addColumn<int>("reports");
    QTest::addColumn<int>("ageOfFirstDays");
    QTest::addColumn<QByteArray>("maxMib");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<QString>("reason");
    QTest::newRow("21 reports") << 21 << 0 << QByteArray("1024") << 1 << "more than 20 pending reports";
    QTest::newRow("one past 30 days") << 3 << 31 << QByteArray("1024") << 1 << "older than 30 days";
    QTest::newRow("within every bound") << 3 << 29 << QByteArray("1024") << 0 << "";
    // Each archive is about 0.4 MiB of random bytes: three go over 1 MiB, two do not.
    QTest::newRow("total size") << 3 << 0 << QByteArray("1") << 1 << "pending archives over 1 MiB";
}

void tst_Pending::bounds()
{
    QFETCH(int, reports);
    QFETCH(int, ageOfFirstDays);
    QFETCH(QByteArray, maxMib);
    QFETCH(int, dropped);
    QFETCH(QString, reason);
    TestHost host(QStringLiteral("a_b"), QByteArray());
    TestClock clock;
    PendingStore store(host.info.dumpDir, clock.clock());
    QStringList dumps;
    for (int i = 0; i < reports; ++i) {
        clock.now = clock.now.addSecs(i == 0 ? -ageOfFirstDays * 86400 : (i == 1 ? ageOfFirstDays * 86400 + 1 : 1));
        const ParamInfo crash =
            nextCrash(host, QStringLiteral("a_b"), QStringLiteral("%1.dmp").arg(i), quint32(i), 400 * 1024);
        QVERIFY(store.create(crash, QString(), QStringLiteral("bug@example.com")));
        dumps << crash.dumpFile;
    }
    ScopedEnv env("CRASHUI_PENDING_MAX_MIB", maxMib);
    const QStringList drops = store.prune(PendingStore::Limits::current());
    QCOMPARE(drops.size(), dropped);
    QCOMPARE(store.list().size(), reports - dropped);
    for (int i = 0; i < reports; ++i)
        QCOMPARE(QFile::exists(dumps.at(i)), i >= dropped); // the oldest go, with their dumps
    if (dropped > 0) {
        QVERIFY2(drops.first().endsWith(reason), qPrintable(drops.first()));
        QVERIFY(readFile(host.info.dumpDir + QStringLiteral("/pending.log")).contains(reason.toUtf8()));
    }
}

void tst_Pending::backoff_data()
{
    QTest::addColumn<int>("attempts");
    QTest::addColumn<int>("minutesSince");
    QTest::addColumn<bool>("due");
    QTest::newRow("never tried") << 0 << 0 << true;
    QTest::newRow("failed a minute ago") << 1 << 1 << false;
    QTest::newRow("failed 16 minutes ago") << 1 << 16 << true;
    QTest::newRow("2 failures, 29 minutes") << 2 << 29 << false;
    QTest::newRow("2 failures, 31 minutes") << 2 << 31 << true;
    QTest::newRow("20 failures, 23 hours") << 20 << 23 * 60 << false;
    QTest::newRow("20 failures, 24 hours") << 20 << 24 * 60 << true;
}

void tst_Pending::backoff()
{
    QFETCH(int, attempts);
    QFETCH(int, minutesSince);
    QFETCH(bool, due);
    TestClock clock;
    PendingStore store(QStringLiteral("/nonexistent"), clock.clock());
    PendingRecord record;
    record.attempts = attempts;
    record.lastAttempt = clock.now.addSecs(-60 * minutesSince);
    QCOMPARE(store.isDue(record), due);
}

void tst_Pending::heldReportIsNotSentTwice()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(30 * 1024, 1));
    {
        const ScopedEnv env = pointMailAt(deadPort(), 5);
        QVERIFY(!Handler().doMail(sendChoice(), host.info));
    }
    PendingStore store(host.info.dumpDir);
    const QString id = store.list().first().id;
    const std::unique_ptr<PendingReport> held = store.take(id); // another process sends it
    QVERIFY(held);
    QVERIFY(!store.take(id));
    QStringList lines;
    QCOMPARE(PendingSender(store, [&](const QString& line) { lines << line; }).sendDue(true), 1);
    QCOMPARE(lines, QStringList{QStringLiteral("kept %1: being sent by another process").arg(id)});
    QVERIFY(store.prune({0 + 1, 30, 1, QString()}).isEmpty()); // over every bound, but held: kept
    QCOMPARE(store.list().size(), 1);
}

void tst_Pending::headless_data()
{
    QTest::addColumn<QString>("arguments"); // ROOT stands for the host's root
    QTest::addColumn<int>("failedMinutesAgo"); // the pending report; none when below -1
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // ID stands for the report's id
    QTest::newRow("no root") << "--send-pending" << -2 << true << 2 << "";
    QTest::newRow("two roots") << "--send-pending ROOT ROOT" << -2 << true << 2 << "";
    QTest::newRow("missing root") << "--send-pending /nonexistent/crashui" << -2 << true << 2 << "";
    QTest::newRow("nothing pending") << "--send-pending ROOT" << -2 << true << 0 << "";
    QTest::newRow("never tried, server up") << "--send-pending ROOT" << -1 << true << 0 << "sent ID\n";
    QTest::newRow("due, server up") << "--send-pending ROOT" << 16 << true << 0 << "sent ID\n";
    QTest::newRow("not due") << "--send-pending ROOT" << 1 << true << 1
                             << "kept ID: not due yet (1 attempts, the last failed: could not connect to "
                                "127.0.0.1:9: connection refused)\n";
    QTest::newRow("due, server down") << "--send-pending ROOT" << 16 << false << 1 << "kept ID: could not connect to "
                                                                                     "127.0.0.1:PORT: connection refused\n";
}

void tst_Pending::headless()
{
    QFETCH(QString, arguments);
    QFETCH(int, failedMinutesAgo);
    QFETCH(bool, serverUp);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    TestHost host;
    const QString id = failedMinutesAgo >= -1 ? pendingReport(host, failedMinutesAgo) : QString();
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const quint16 port = serverUp ? sink.port() : deadPort();
    QProcessEnvironment env = programEnvironment();
    const ScopedEnv mail = mailEnvironment(env, port);
    const Run run = runCrashui(arguments.replace(QStringLiteral("ROOT"), host.root).split(QLatin1Char(' ')), env);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, QString(output).replace(QStringLiteral("ID"), id).replace(QStringLiteral("PORT"), QString::number(port)));
    if (exitCode == 2)
        QVERIFY(!run.err.isEmpty());
    QCOMPARE(sink.mails().size(), output.startsWith(QStringLiteral("sent")) ? 1 : 0);
    QCOMPARE(QFile::exists(host.info.dumpFile), !output.startsWith(QStringLiteral("sent")));
}

void tst_Pending::backoffOfTheBinary()
{
    // The clock moved with faketime (file times left true: the dump's check compares them).
    TestHost host;
    const QString id = pendingReport(host, 0);
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    QProcessEnvironment env = programEnvironment();
    const ScopedEnv mail = mailEnvironment(env, sink.port());
    const QStringList arguments{QStringLiteral("--send-pending"), host.root};
    Run run = runCrashui(arguments, env);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.out.startsWith(QStringLiteral("kept %1: not due yet").arg(id)), qPrintable(run.out));
    env.insert(QStringLiteral("NO_FAKE_STAT"), QStringLiteral("1"));
    // A sanitizer build refuses a preloaded library ahead of its runtime unless told otherwise.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
    run = runCrashui(arguments, env, QStringLiteral("faketime"));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QStringLiteral("sent %1\n").arg(id));
    QCOMPARE(sink.mails().size(), 1);
}

void tst_Pending::twoHeadlessRunsAtOnce()
{
    TestHost host;
    QStringList ids;
    for (int i = 0; i < 5; ++i)
        ids << pendingReport(host, 60, QStringLiteral("report %1").arg(i));
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    QProcessEnvironment env = programEnvironment();
    const ScopedEnv mail = mailEnvironment(env, sink.port());
    QProcess first;
    QProcess second;
    for (QProcess* process : {&first, &second}) {
        process->setProcessEnvironment(env);
        process->start(binary(), {QStringLiteral("--send-pending"), host.root});
    }
    QVERIFY(first.waitForFinished(120000) && second.waitForFinished(120000));
    // Each run sends some and tells of the others as held by another process (exit 1 then).
    QStringList sent;
    for (QProcess* process : {&first, &second}) {
        QVERIFY(process->exitCode() == 0 || process->exitCode() == 1);
        for (const QString& line : QString::fromUtf8(process->readAllStandardOutput()).split(QLatin1Char('\n'))) {
            if (line.startsWith(QStringLiteral("sent ")))
                sent << line.mid(5);
        }
    }
    sent.sort();
    ids.sort();
    QCOMPARE(sent, ids);
    QVERIFY(sink.waitForMails(5));
    QCOMPARE(sink.mails().size(), 5); // each exactly once: both senders have ended, no mail can follow
    QSet<QString> messageIds;
    QSet<QString> descriptions;
    for (const QString& eml : sink.mails()) {
        const QJsonObject parsed = SmtpSink::parse(eml);
        messageIds << parsed.value("message_id").toString();
        descriptions << parsed.value("parts").toArray().at(0).toObject().value("text").toString();
    }
    QCOMPARE(messageIds.size(), 5);
    QCOMPARE(descriptions.size(), 5);
    QVERIFY(PendingStore(host.info.dumpDir).list().isEmpty());
}

void tst_Pending::killedWhileSending_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("while sending DATA") << "DATA";
    QTest::newRow("right after the server's 250") << "END";
}

void tst_Pending::killedWhileSending()
{
    QFETCH(QString, when);
    TestHost host(QStringLiteral("a_b"), randomBytes(300 * 1024));
    const QString id = pendingReport(host, -1);
    const PendingRecord before = PendingStore(host.info.dumpDir).list().value(0);
    QProcessEnvironment env = programEnvironment();
    {
        ScriptedSmtpServer server;
        QProcess process;
        const auto killIt = [&process] { ::kill(static_cast<pid_t>(process.processId()), SIGKILL); };
        if (when == "DATA")
            server.beforeReply("DATA", killIt);
        else
            server.afterReply("END", killIt);
        const ScopedEnv mail = mailEnvironment(env, server.port());
        process.setProcessEnvironment(env);
        process.start(binary(), {QStringLiteral("--send-pending"), host.root});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    }
    // Either the complete report, or (once the server took it) none.
    const QList<PendingRecord> left = PendingStore(host.info.dumpDir).list();
    if (when == "DATA")
        QCOMPARE(left.size(), 1);
    for (const PendingRecord& record : left) {
        QCOMPARE(record.id, id);
        QCOMPARE(ArchiveCheck::of(host.pendingArchives().value(0)).entries.value(0).sha256,
                 ArchiveCheck::sha256Of(host.info.dumpFile));
    }
    QCOMPARE(QFile::exists(host.info.dumpFile), !left.isEmpty() || when == "END");

    // A headless run finishes the job, with the report's own Message-ID.
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv mail = mailEnvironment(env, sink.port());
    const Run run = runCrashui({QStringLiteral("--send-pending"), host.root}, env);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(sink.mails().size(), left.size());
    if (!left.isEmpty())
        QCOMPARE(SmtpSink::parse(sink.mails().first()).value("message_id").toString(), before.messageId);
    QVERIFY(!QFile::exists(host.info.dumpFile));
    QVERIFY(PendingStore(host.info.dumpDir).list().isEmpty());
}

void tst_Pending::killedWhilePacking()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(120 * 1024 * 1024));
    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const ScopedEnv mail = mailEnvironment(env, deadPort());
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(binary(), {host.root, QStringLiteral("a_b"), QStringLiteral("/bin/true")});
    const QString pending = host.info.dumpDir + QStringLiteral("/pending");
    // The countdown confirms after ten seconds; then the archive is being written.
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(pending).entryList({QStringLiteral("*.rar.*")}, QDir::Files).isEmpty(), 60000);
    ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
    QVERIFY(process.waitForFinished(30000));
    // The report was recorded before its mail started: the description and the Message-ID are
    // kept, marked as being packed.
    const QList<PendingRecord> left = PendingStore(host.info.dumpDir).list();
    QCOMPARE(left.size(), 1);
    QVERIFY(left.first().packing);
    QCOMPARE(left.first().dumpFile, host.info.dumpFile);
    QVERIFY(QFile::exists(host.info.dumpFile));

    // What the killed run left is removed by a later run once it is a minute old; that run packs
    // the unchanged dump again and sends it as the same report.
    for (const QString& name : QDir(pending).entryList(QDir::Files)) {
        const timeval old{time(nullptr) - 120, 0};
        const timeval times[2] = {old, old};
        ::utimes(QFile::encodeName(pending + QLatin1Char('/') + name).constData(), times);
    }
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv up = mailEnvironment(env, sink.port());
    const Run run = runCrashui({QStringLiteral("--send-pending"), host.root}, env);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QStringLiteral("sent %1\n").arg(left.first().id));
    QCOMPARE(sink.mails().size(), 1);
    QCOMPARE(SmtpSink::parse(sink.mails().first()).value("message_id").toString(), left.first().messageId);
    QVERIFY(!QFile::exists(host.info.dumpFile));
    QCOMPARE(QDir(pending).entryList({QStringLiteral("*.rar*"), QStringLiteral("*.json*"), QStringLiteral("*.lock")},
                                     QDir::Files),
             QStringList());
}

void tst_Pending::newestIsNeverDropped_data()
{
    QTest::addColumn<bool>("olderNoticeSent"); // an older report whose notice said its dump is kept
    QTest::newRow("alone over the size bound") << false;
    QTest::newRow("beside a report whose notice keeps its dump") << true;
}

void tst_Pending::newestIsNeverDropped()
{
    QFETCH(bool, olderNoticeSent);
    TestHost host(QStringLiteral("a_b"), randomBytes(1536 * 1024, 1));
    QString older;
    if (olderNoticeSent) {
        older = pendingReport(host, -1);
        QVERIFY(HostileStore::editRecord(host.info.dumpDir, older, {{QStringLiteral("tooLarge"), true}}));
    }
    const ParamInfo crash = nextCrash(host, QStringLiteral("c_d"), QStringLiteral("y.dmp"), 2, 1536 * 1024);
    DispatchOutcome outcome;
    {
        ScopedEnv env = pointMailAt(deadPort(), 5);
        env.set("CRASHUI_PENDING_MAX_MIB", "1");
        Handler handler;
        handler.setOutcome(&outcome);
        QVERIFY(!handler.doMail(sendChoice(QStringLiteral("new")), crash));
    }
    // The box says "kept", and it is: the new report, and the dump the notice said was kept.
    QVERIFY(outcome.kept());
    const QList<PendingRecord> left = PendingStore(host.info.dumpDir).list();
    QCOMPARE(left.size(), olderNoticeSent ? 2 : 1);
    QCOMPARE(left.last().description, QStringLiteral("new"));
    QVERIFY(QFile::exists(crash.dumpFile));
    QVERIFY(QFile::exists(host.info.dumpFile));
    QVERIFY(
        readFile(host.info.dumpDir + QStringLiteral("/pending.log")).contains("the newest report is never dropped"));
}

void tst_Pending::hostileStore_data()
{
    // What someone who can write ROOT/dumps/pending leaves there; then a resend, the bounds or the
    // clean-up run. A private file of the user's beside the host must never be mailed or removed.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("action"); // send, prune or litter
    QTest::addColumn<int>("mails");
    QTest::newRow("archive links to a private file") << "link archive"
                                                     << "send" << 0;
    QTest::newRow("archive changed after packing") << "change archive"
                                                   << "send" << 0;
    QTest::newRow("record names a private file as its dump") << "dump elsewhere"
                                                             << "prune" << 0;
    QTest::newRow("unreadable record names a private file") << "unreadable"
                                                            << "prune" << 0;
    QTest::newRow("pending is a link to another folder") << "link folder"
                                                         << "litter" << 0;
    QTest::newRow("a foreign archive in pending") << "foreign archive"
                                                  << "litter" << 0;
    QTest::newRow("notice folder left by a kill") << "notice folder"
                                                  << "litter" << 0;
    QTest::newRow("Message-ID carries a header") << "message id"
                                                 << "send" << 1;
    QTest::newRow("records are private") << "mode"
                                         << "send" << 1;
    QTest::newRow("record of an older crashui, without a checksum") << "no checksum"
                                                                    << "send" << 1;
}

void tst_Pending::hostileStore()
{
    QFETCH(QString, fault);
    QFETCH(QString, action);
    QFETCH(int, mails);
    TestHost host(QStringLiteral("a_b"), randomBytes(40 * 1024, 1));
    // Larger than the report's archive: a mail that followed a link to it would carry a whole archive's worth.
    const QByteArray secretText = QByteArray("TOP SECRET: the user's private key\n") + patternBytes(256 * 1024);
    const QString secret = writeFile(host.base.filePath(QStringLiteral("private/id_key")), secretText);
    const QString id = pendingReport(host, -1);
    const QString folder = HostileStore::folder(host.info.dumpDir);
    const QString archive = folder + QLatin1Char('/') + id + QStringLiteral(".rar");
    QString foreign; // a file that is not crashui's: it must stay
    QString litter;  // crashui's own leftover: it must go
    if (fault == "link archive") {
        QVERIFY(HostileStore::linkAt(archive, secret));
    } else if (fault == "change archive") {
        QByteArray bytes = readFile(archive);
        bytes[bytes.size() / 2] = static_cast<char>(bytes.at(bytes.size() / 2) ^ 0x55);
        QVERIFY(!writeFile(archive, bytes).isEmpty());
    } else if (fault == "dump elsewhere" || fault == "unreadable") {
        QJsonObject fields = HostileStore::identityOf(secret);
        fields[QStringLiteral("dumpFile")] = secret;
        fields[QStringLiteral("dumpWhole")] = true;
        fields[QStringLiteral("created")] =
            fault == "unreadable" ? QStringLiteral("not a time") : QStringLiteral("2020-01-01T00:00:00.000Z");
        QVERIFY(HostileStore::editRecord(host.info.dumpDir, id, fields));
    } else if (fault == "link folder" || fault == "foreign archive") {
        const QString other = host.base.filePath(QStringLiteral("other"));
        foreign = writeFile(other + QStringLiteral("/backup.rar"), secretText);
        if (fault == "link folder") {
            QVERIFY(QDir(folder).removeRecursively());
            QVERIFY(HostileStore::linkAt(folder, other));
        } else {
            foreign = writeFile(folder + QStringLiteral("/backup.rar"), secretText);
        }
        HostileStore::ageBy(foreign, 600);
    } else if (fault == "notice folder") {
        litter = folder + QStringLiteral("/notice-Ab12Cd");
        writeFile(litter + QStringLiteral("/logs/app_b.log"), "log");
        HostileStore::ageBy(litter, 600);
    } else if (fault == "mode") {
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(folder + QLatin1Char('/') + id + QStringLiteral(".json")).constData(), &info),
                 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));
    } else if (fault == "no checksum") {
        QVERIFY(HostileStore::editRecord(host.info.dumpDir, id, {{QStringLiteral("archiveSha256"), QString()}}));
    } else if (fault == "message id") {
        QVERIFY(HostileStore::editRecord(host.info.dumpDir, id,
                                         {{QStringLiteral("messageId"), "<a@b>\r\nBcc: victim@example.com"}}));
    }

    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 5);
    PendingStore store(host.info.dumpDir);
    if (action == "send")
        PendingSender(store).sendDue(true);
    else if (action == "prune")
        store.prune(PendingStore::Limits::current());
    else
        store.removeLitter();

    QCOMPARE(sink.mails().size(), mails);
    QTemporaryDir out;
    for (const QString& mail : sink.mails()) {
        const QString attachment = out.filePath(QStringLiteral("attachment"));
        SmtpSink::parse(mail, attachment);
        QVERIFY(!readFile(attachment).contains("TOP SECRET"));
    }
    QCOMPARE(readFile(secret), secretText);
    if (!foreign.isEmpty())
        QVERIFY(QFile::exists(foreign));
    if (!litter.isEmpty())
        QVERIFY(!QFileInfo::exists(litter));
    if (fault == "link folder") {
        QString why;
        QVERIFY(!store.create(host.info, QString(), QStringLiteral("bug@example.com"), &why));
        QVERIFY2(why.contains(QStringLiteral("symbolic link")), qPrintable(why));
    }
    if (fault == "message id") {
        const QString messageId = SmtpSink::parse(sink.mails().first()).value("message_id").toString();
        QVERIFY2(messageId.startsWith(QStringLiteral("<crashui.")), qPrintable(messageId));
        QVERIFY(!readFile(sink.mails().first()).contains("Bcc"));
    }
}

void tst_Pending::storeFileIsAFifo_data()
{
    QTest::addColumn<QString>("fifo"); // ID stands for the first report's id, relative to dumps/
    QTest::newRow("the first report's archive") << "pending/ID.rar";
    QTest::newRow("the hourly count") << "pending/sent.log";
    QTest::newRow("the store's log") << "pending.log";
}

void tst_Pending::storeFileIsAFifo()
{
    QFETCH(QString, fifo);
    TestHost host;
    const QString first = pendingReport(host, -1, QStringLiteral("first"));
    const ParamInfo crash = nextCrash(host, QStringLiteral("c_d"), QStringLiteral("y.dmp"), 2);
    TestClock later;
    later.now = QDateTime::currentDateTimeUtc().addSecs(1);
    PendingStore store(host.info.dumpDir, later.clock());
    const QString secondId = [&] {
        const std::unique_ptr<PendingReport> second =
            store.create(crash, QStringLiteral("second"), QStringLiteral("bug@example.com"));
        return second ? second->record().id : QString();
    }();
    QVERIFY(!secondId.isEmpty());
    QVERIFY(HostileStore::fifoAt(host.info.dumpDir + QLatin1Char('/') +
                                 QString(fifo).replace(QStringLiteral("ID"), first)));
    if (fifo == "pending.log") // something to log: a report over the count bound
        HostileStore::editRecord(host.info.dumpDir, first,
                                 {{QStringLiteral("created"), QStringLiteral("2020-01-01T00:00:00.000Z")}});
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    QProcessEnvironment env = programEnvironment();
    const ScopedEnv mail = mailEnvironment(env, sink.port());
    // Nothing blocks: the run ends, and the report after the FIFO goes.
    const Run run = runCrashui({QStringLiteral("--send-pending"), host.root}, env, QString(), 30000);
    QVERIFY2(run.exitCode == 0 || run.exitCode == 1, qPrintable(run.out));
    QVERIFY2(run.out.contains(QStringLiteral("sent %1").arg(secondId)), qPrintable(run.out));
    QVERIFY(!QFile::exists(crash.dumpFile));
}

void tst_Pending::clockWasAhead_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("last attempt a week ahead") << "lastAttempt";
    QTest::newRow("the hour's mails a day ahead") << "sent.log";
    QTest::newRow("the host restarted a day ahead") << "restart";
}

void tst_Pending::clockWasAhead()
{
    QFETCH(QString, what);
    TestHost host;
    TestClock clock;
    if (what == "restart") {
        RestartGuard::recordRestart(host.info.dumpDir, clock.now.addDays(1));
        QVERIFY(RestartGuard::restartedRecently(host.info.dumpDir, clock.now)); // counts as now
        QVERIFY(!RestartGuard::restartedRecently(host.info.dumpDir, clock.now.addDays(1).addSecs(10)));
        return;
    }
    PendingStore store(host.info.dumpDir, clock.clock());
    std::unique_ptr<PendingReport> report = store.create(host.info, QString(), QStringLiteral("bug@example.com"));
    QVERIFY(report);
    const QString id = report->record().id;
    if (what == "lastAttempt") {
        report->update().attempts = 20;
        report->update().lastAttempt = clock.now.addDays(7);
        QVERIFY(report->save());
    } else {
        QByteArray lines;
        for (int i = 0; i < 6; ++i)
            lines +=
                QByteArray::number(clock.now.addDays(1).toSecsSinceEpoch()) + " other" + QByteArray::number(i) + '\n';
        QVERIFY(!writeFile(HostileStore::folder(host.info.dumpDir) + QStringLiteral("/sent.log"), lines).isEmpty());
    }
    report.reset();
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 5);
    PendingSender(store).sendDue(false); // the clock was set back: now is before those times
    // No longer than the documented bound: 24 hours for the backoff, an hour for the count.
    clock.now = clock.now.addSecs(what == "lastAttempt" ? 24 * 3600 + 60 : 3600 + 60);
    QStringList lines;
    QCOMPARE(PendingSender(store, [&](const QString& line) { lines << line; }).sendDue(false), 0);
    QCOMPARE(lines, QStringList{QStringLiteral("sent %1").arg(id)});
    QCOMPARE(sink.mails().size(), 1);
}

void tst_Pending::invalidHourlyLimit_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("0") << QByteArray("0");
    QTest::newRow("-1") << QByteArray("-1");
    QTest::newRow("abc") << QByteArray("abc");
}

void tst_Pending::invalidHourlyLimit()
{
    QFETCH(QByteArray, value);
    TestHost host;
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ScopedEnv env = pointMailAt(sink.port(), 5);
    env.set("CRASHUI_MAX_REPORTS_PER_HOUR", value);
    DispatchOutcome outcome;
    Handler handler;
    handler.setOutcome(&outcome);
    QVERIFY(!handler.doMail(sendChoice(), host.info));
    QCOMPARE(sink.mails().size(), 0);
    QVERIFY(outcome.kept());
    QVERIFY2(outcome.reason().contains(QStringLiteral("CRASHUI_MAX_REPORTS_PER_HOUR")) &&
                 outcome.reason().contains(QString::fromUtf8(value)),
             qPrintable(outcome.reason()));
    const QList<PendingRecord> left = PendingStore(host.info.dumpDir).list();
    QCOMPARE(left.size(), 1);
    QCOMPARE(left.first().attempts, 0); // not a failed attempt: no backoff
}

void tst_Pending::sameDumpConfirmedTwice()
{
    TestHost host;
    const ScopedEnv env = pointMailAt(deadPort(), 5);
    QVERIFY(!Handler().doMail(sendChoice(QStringLiteral("one")), host.info));
    // A later run finds no newer dump: the same one is pending already.
    QVERIFY(!Handler().doMail(sendChoice(QStringLiteral("two")), host.info));
    const QList<PendingRecord> left = PendingStore(host.info.dumpDir).list();
    QCOMPARE(left.size(), 1);
    QCOMPARE(left.first().attempts, 2);
}

void tst_Pending::relativeRootResentFromElsewhere()
{
    TestHost host;
    const QString here = QDir::currentPath();
    const QDir base(host.base.path());
    ParamInfo relative = host.info;
    relative.rootDir = base.relativeFilePath(host.root);
    relative.dumpDir = base.relativeFilePath(host.info.dumpDir);
    relative.dumpFile = base.relativeFilePath(host.info.dumpFile);
    QVERIFY(QDir::setCurrent(host.base.path()));
    {
        const ScopedEnv env = pointMailAt(deadPort(), 5);
        QVERIFY(!Handler().doMail(sendChoice(), relative));
    }
    // A timer's resend runs elsewhere, with the root spelt in full.
    QVERIFY(QDir::setCurrent(QStringLiteral("/")));
    SmtpSink sink;
    const ScopedEnv env = pointMailAt(sink.port(), 5);
    PendingStore store(host.info.dumpDir);
    const int remaining = PendingSender(store).sendDue(true);
    QDir::setCurrent(here);
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    QCOMPARE(remaining, 0);
    QCOMPARE(sink.mails().size(), 1);
    QVERIFY(!QFile::exists(host.info.dumpFile)); // the delivered dump is not left behind
}

QTEST_GUILESS_MAIN(tst_Pending)
#include "tst_pending.moc"
