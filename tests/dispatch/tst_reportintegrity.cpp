// The report archive against faults of its surroundings, found by a hostile tester: the archive
// removed or truncated before the mail reads it, two runs on one root and dump name, a dump still
// being written, temporary archives left by a killed run. Nothing may be deleted that was not
// sent whole.

#include "dispatch/handler.h"
#include "dispatch/pendingsender.h"
#include "dispatch/pendingstore.h"
#include "archive/reportarchive.h"
#include "tests/tools/archivecheck.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QDeadlineTimer>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The temporary archives in a dumps folder (this run's own while it runs).
QStringList temporaryArchives(const QString& dumpDir)
{
    return QDir(dumpDir).entryList({QStringLiteral("*.rar.*")}, QDir::Files);
}

// The SHA-256 of the dump entry of the archive that the scripted server received; empty when the
// mail carried no readable archive.
QByteArray receivedDumpHash(const ScriptedSmtpServer& server, const QTemporaryDir& out)
{
    const QString eml = writeFile(out.filePath(QStringLiteral("received.eml")), QByteArray::fromStdString(server.message()));
    const QString attachment = out.filePath(QStringLiteral("received.zip"));
    SmtpSink::parse(eml, attachment);
    const ArchiveCheck check = ArchiveCheck::of(attachment);
    return check.readable && !check.entries.isEmpty() ? check.entries.first().sha256 : QByteArray();
}

void setModifiedSecondsAgo(const QString& path, int seconds)
{
    const timeval now{time(nullptr) - seconds, 0};
    const timeval times[2] = {now, now};
    ::utimes(QFile::encodeName(path).constData(), times);
}

} // namespace

class tst_ReportIntegrity : public QObject {
    Q_OBJECT
private slots:
    void archiveTamperedBeforeData_data();
    void archiveTamperedBeforeData();
    void twoRunsOneRootOneName();
    void dumpChangedWhileSending_data();
    void dumpChangedWhileSending();
    void abandonedArchivesRemoved();
    void mailedWhilePackedIsThePendingArchive();
    void reasons_data();
    void reasons();
};

void tst_ReportIntegrity::archiveTamperedBeforeData_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("sent");
    // The archive removed between packing and DATA (a second instance, a cleaner) once went out
    // as an empty attachment, and the dump was deleted.
    QTest::newRow("archive removed") << "removed" << true;
    QTest::newRow("archive truncated") << "truncated" << false;
}

void tst_ReportIntegrity::archiveTamperedBeforeData()
{
    QFETCH(QString, fault);
    QFETCH(bool, sent);
    TestHost host(QStringLiteral("a_b"), randomBytes(600 * 1024));
    const QByteArray dumpHash = ArchiveCheck::sha256Of(host.info.dumpFile);
    ScriptedSmtpServer server;
    server.beforeReply("DATA", [&] {
        // The mail starts while the archive is packed: tamper with it once it is complete.
        // (It is recorded before the mail starts, and again, as packed, once complete.)
        QDeadlineTimer deadline(30000);
        const auto complete = [&] {
            const QString pending = host.info.dumpDir + QStringLiteral("/pending/");
            for (const QString& name : QDir(pending).entryList({QStringLiteral("*.json")})) {
                if (readFile(pending + name).contains("\"packing\": false"))
                    return true;
            }
            return false;
        };
        while (!complete() && !deadline.hasExpired())
            QThread::msleep(5);
        QDirIterator archives(host.info.dumpDir, {QStringLiteral("*.rar*")}, QDir::Files, QDirIterator::Subdirectories);
        while (archives.hasNext()) {
            const QString path = archives.next();
            if (fault == "removed")
                QFile::remove(path);
            else
                QFile(path).resize(QFileInfo(path).size() / 2);
        }
    });
    const ScopedEnv env = pointMailAt(server.port(), 5);
    Handler handler;
    QCOMPARE(handler.doMail(sendChoice(), host.info), sent);
    QVERIFY(server.waitForClientGone(30000));
    QCOMPARE(QFile::exists(host.info.dumpFile), !sent);
    if (sent) {
        QTemporaryDir out;
        QCOMPARE(receivedDumpHash(server, out), dumpHash);
    } else {
        QCOMPARE(QString::fromStdString(server.steps()).contains(QStringLiteral("END")), false);
    }
}

void tst_ReportIntegrity::twoRunsOneRootOneName()
{
    // Two hosts crashed together and started two runs with one root and one dump name: both
    // packed into one archive, one mailed the other's, and both dumps were deleted.
    TestHost host(QStringLiteral("a_b"), randomBytes(300 * 1024, 1));
    ParamInfo second = host.info;
    second.dumpFile = writeFile(host.info.dumpDir + QStringLiteral("/y.dmp"), randomBytes(300 * 1024, 2));
    const QByteArray firstHash = ArchiveCheck::sha256Of(host.info.dumpFile);
    const QByteArray secondHash = ArchiveCheck::sha256Of(second.dumpFile);

    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ScriptedSmtpServer server;
    ScopedEnv env = pointMailAt(server.port(), 10);
    bool secondResult = false;
    // While the first run waits for its 354, the second packs, mails and cleans up under the
    // same name. The first run has read its settings already.
    server.beforeReply("DATA", [&] {
        const ScopedEnv toSink("CRASHUI_SMTP_PORT", QByteArray::number(sink.port()));
        Handler other;
        secondResult = other.doMail(sendChoice(), second);
    });
    Handler handler;
    QVERIFY(handler.doMail(sendChoice(), host.info));
    QVERIFY(secondResult);
    QVERIFY(server.waitForClientGone(30000));

    QTemporaryDir out;
    QCOMPARE(receivedDumpHash(server, out), firstHash);
    QCOMPARE(sink.mails().size(), 1);
    const QString attachment = out.filePath(QStringLiteral("second.zip"));
    SmtpSink::parse(sink.mails().first(), attachment);
    QCOMPARE(ArchiveCheck::of(attachment).entries.value(0).sha256, secondHash);
    QVERIFY(!QFile::exists(host.info.dumpFile));
    QVERIFY(!QFile::exists(second.dumpFile));
    QCOMPARE(temporaryArchives(host.info.dumpDir), QStringList());
}

void tst_ReportIntegrity::dumpChangedWhileSending_data()
{
    QTest::addColumn<QString>("change");
    // A dump still being written: 36 MiB were sent, and the 48 MiB file was deleted whole.
    QTest::newRow("grown") << "grown";
    QTest::newRow("replaced by another file") << "replaced";
}

void tst_ReportIntegrity::dumpChangedWhileSending()
{
    QFETCH(QString, change);
    TestHost host(QStringLiteral("a_b"), randomBytes(200 * 1024));
    ScriptedSmtpServer server;
    server.beforeReply("DATA", [&] {
        if (change == "grown") {
            QFile dump(host.info.dumpFile);
            if (dump.open(QIODevice::Append))
                dump.write(randomBytes(100 * 1024, 9));
        } else {
            const QString other = writeFile(host.info.dumpFile + QStringLiteral(".new"), readFile(host.info.dumpFile));
            QFile::remove(host.info.dumpFile);
            QFile::rename(other, host.info.dumpFile);
        }
    });
    const ScopedEnv env = pointMailAt(server.port(), 5);
    Handler handler;
    QVERIFY(handler.doMail(sendChoice(), host.info));
    QVERIFY(QFile::exists(host.info.dumpFile)); // sent, but not what is there now: kept
    QCOMPARE(temporaryArchives(host.info.dumpDir), QStringList());
}

void tst_ReportIntegrity::abandonedArchivesRemoved()
{
    // SIGTERM while packing left a partial NAME.rar.XXXXXX that no later run removed.
    TestHost host;
    const QString dumps = host.info.dumpDir;
    const QString stale = writeFile(dumps + QStringLiteral("/a_b.rar.Xy12Zw"), "half an archive");
    const QString staleWriterFile = writeFile(dumps + QStringLiteral("/c_d.rar.Ab34Cd.Ef56Gh"), "half");
    const QString fresh = writeFile(dumps + QStringLiteral("/a_b.rar.Fr35hh"), "being written now");
    const QString held = writeFile(dumps + QStringLiteral("/a_b.rar.He1dHe"), "held by a running instance");
    const QString unrelated = writeFile(dumps + QStringLiteral("/notes.rar.txt"), "someone's notes");
    for (const QString& path : {stale, staleWriterFile, held, unrelated})
        setModifiedSecondsAgo(path, 3600);
    const int holder = ::open(QFile::encodeName(held).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);

    ReportArchive::removeAbandoned(dumps);
    ::close(holder);
    QVERIFY(!QFile::exists(stale));
    QVERIFY(!QFile::exists(staleWriterFile));
    QVERIFY(QFile::exists(fresh));
    QVERIFY(QFile::exists(held));
    QVERIFY(QFile::exists(unrelated));
    QVERIFY(QFile::exists(host.info.dumpFile));
}

// The mail goes out while the archive is written: what the server received and what is kept as
// pending after it refused are one and the same archive, complete.
void tst_ReportIntegrity::mailedWhilePackedIsThePendingArchive()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(3 * 1024 * 1024) + patternBytes(3 * 1024 * 1024));
    ScriptedSmtpServer server({{"END", ScriptedSmtpServer::reply("451 4.3.0 try again later\r\n")}});
    const ScopedEnv env = pointMailAt(server.port(), 10);
    QVERIFY(!Handler().doMail(sendChoice(), host.info));
    QTemporaryDir out;
    const QString eml = writeFile(out.filePath(QStringLiteral("received.eml")), QByteArray::fromStdString(server.message()));
    const QString received = out.filePath(QStringLiteral("received.zip"));
    SmtpSink::parse(eml, received);
    QCOMPARE(host.pendingArchives().size(), 1);
    const QString kept = host.pendingArchives().first();
    QCOMPARE(ArchiveCheck::sha256Of(received), ArchiveCheck::sha256Of(kept));
    const ArchiveCheck check = ArchiveCheck::of(kept);
    QVERIFY(check.allReadersOk());
    QCOMPARE(check.entries.first().sha256, ArchiveCheck::sha256Of(host.info.dumpFile));
}

void tst_ReportIntegrity::reasons_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("says");
    QTest::addColumn<QString>("neverSays");
    // A file-size limit stands for a full disk: the same write error, the system's own words.
    QTest::newRow("archive folder cannot be written")
        << "file size" << QString::fromLocal8Bit(std::strerror(EFBIG)) << "could not read the dump";
    QTest::newRow("hang-up after the whole report") << "hang-up"
                                                    << "it may have arrived"
                                                    << "";
}

void tst_ReportIntegrity::reasons()
{
    QFETCH(QString, fault);
    QFETCH(QString, says);
    QFETCH(QString, neverSays);
    TestHost host(QStringLiteral("a_b"), randomBytes(2 * 1024 * 1024));
    ScriptedSmtpServer server({{"END", ScriptedSmtpServer::close()}});
    const ScopedEnv env = pointMailAt(server.port(), 5);
    DispatchOutcome outcome;
    Handler handler;
    handler.setOutcome(&outcome);
    if (fault == "file size") {
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = before;
        small.rlim_cur = 512 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &small);
        QVERIFY(!handler.doMail(sendChoice(), host.info));
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!outcome.kept());
        QVERIFY(QFile::exists(host.info.dumpFile));
    } else {
        QVERIFY(!handler.doMail(sendChoice(), host.info));
        QVERIFY(outcome.kept());
    }
    QVERIFY2(outcome.reason().contains(says), qPrintable(outcome.reason()));
    if (!neverSays.isEmpty())
        QVERIFY2(!outcome.reason().contains(neverSays), qPrintable(outcome.reason()));
    if (fault == "hang-up") {
        // The hour's count keeps the mail, and a resend carries the same Message-ID.
        const PendingRecord record = PendingStore(host.info.dumpDir).list().value(0);
        QVERIFY(readFile(host.info.dumpDir + QStringLiteral("/pending/sent.log")).contains(record.id.toUtf8()));
        ScriptedSmtpServer again;
        const ScopedEnv resend = pointMailAt(again.port(), 5);
        PendingStore store(host.info.dumpDir);
        QCOMPARE(PendingSender(store).sendDue(true), 0);
        QVERIFY(again.waitForClientGone(30000));
        QVERIFY(again.message().find("Message-ID: " + record.messageId.toStdString()) != std::string::npos);
    }
}

QTEST_GUILESS_MAIN(tst_ReportIntegrity)
#include "tst_reportintegrity.moc"
