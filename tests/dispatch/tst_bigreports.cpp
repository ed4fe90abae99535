// Reports larger than the mail server takes: the SIZE extension, reports split into several
// mails, a notice when even that is not enough, the hourly limit, with aiosmtpd given a data size
// limit (advertised, or hidden so that it refuses with 552 after the data).

#include "dispatch/handler.h"
#include "dispatch/pendingsender.h"
#include "dispatch/pendingstore.h"
#include "dispatch/reportmail.h"
#include "smailer/mailexception.h"
#include "smailer/mailsender.h"
#include "tests/tools/archivecheck.h"
#include "tests/tools/hostilestore.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using Script = std::map<std::string, ScriptedSmtpServer::Step>;

namespace {

const char kEhloWithSize[] = "250-scripted greets you\r\n250-SIZE %1\r\n250 AUTH LOGIN\r\n";

Script advertising(quint64 limit)
{
    return {{"EHLO", ScriptedSmtpServer::reply(QString::fromLatin1(kEhloWithSize).arg(limit).toStdString())}};
}

QStringList sinkArguments(quint64 limit, bool hidden)
{
    QStringList args{QStringLiteral("--size-limit"), QString::number(limit)};
    if (hidden)
        args << QStringLiteral("--hide-size");
    return args;
}

// The mails' attachments joined in order, written to path.
bool joinAttachments(const QStringList& mails, const QString& path, const QTemporaryDir& out)
{
    QByteArray joined;
    for (int i = 0; i < mails.size(); ++i) {
        const QString piece = out.filePath(QStringLiteral("piece%1").arg(i));
        SmtpSink::parse(mails.at(i), piece);
        joined += readFile(piece);
    }
    return !writeFile(path, joined).isEmpty();
}

} // namespace

class tst_BigReports : public QObject {
    Q_OBJECT
private slots:
    void sizeIsTheWireSize();
    void overTheLimitIsNeverUploaded();
    void splitIntoThree_data();
    void splitIntoThree();
    void resendSendsOnlyTheMissingParts();
    void tooManyPartsSendsANotice();
    void hourlyLimit();
    void packedFirstWhenItMightNotFit();
    void resendKeepsTheCut_data();
    void resendKeepsTheCut();
    void mailboxFullIsNoSizeLimit();
    void learntLimitCheckedAgain();
    void noticeCarriesTheArchivedLogs();
};

void tst_BigReports::sizeIsTheWireSize()
{
    ScriptedSmtpServer server(advertising(50000000));
    QTemporaryDir dir;
    const QString archive = writeFile(dir.filePath(QStringLiteral("a_b.rar")), randomBytes(300 * 1024 + 5));
    ReportMail mail(QStringLiteral("bug@example.com"), QStringLiteral("a_b"),
                    QStringLiteral("line\n.\n..dots\r\nend"), archive);
    {
        SMailer::MailSender sender("127.0.0.1", "bug@example.com", "Err.submit7", server.port());
        sender.setMail(&mail.wrapper());
        sender.sendMail();
    }
    QVERIFY(server.waitForClientGone(30000));
    const QRegularExpression size(QStringLiteral("MAIL FROM: <bug@example.com> SIZE=(\\d+)\\r\\n"));
    const QRegularExpressionMatch match = size.match(QString::fromStdString(server.transcript()));
    QVERIFY(match.hasMatch());
    // Exact: every octet sent after DATA but the end-of-data line, transparency dots included.
    QCOMPARE(match.captured(1).toULongLong(), quint64(server.data().size() - 3));
}

void tst_BigReports::overTheLimitIsNeverUploaded()
{
    ScriptedSmtpServer server(advertising(100000));
    QTemporaryDir dir;
    const QString archive = writeFile(dir.filePath(QStringLiteral("a_b.rar")), randomBytes(200 * 1024));
    ReportMail mail(QStringLiteral("bug@example.com"), QStringLiteral("a_b"), QString(), archive);
    try {
        SMailer::MailSender sender("127.0.0.1", "bug@example.com", "Err.submit7", server.port());
        sender.setMail(&mail.wrapper());
        sender.sendMail();
        QFAIL("a mail over the limit was sent");
    } catch (const SMailer::MailTooLargeException& e) {
        QCOMPARE(e.limit(), quint64(100000));
    }
    QVERIFY(server.waitForClientGone(30000));
    QVERIFY(!QString::fromStdString(server.transcript()).contains(QStringLiteral("MAIL FROM")));
}

void tst_BigReports::splitIntoThree_data()
{
    QTest::addColumn<bool>("hidden");
    QTest::newRow("limit advertised") << false;
    // Postfix's 45 MB upload for nothing: a server that says no only after the whole mail.
    QTest::newRow("552 after the data") << true;
}

void tst_BigReports::splitIntoThree()
{
    QFETCH(bool, hidden);
    TestHost host(QStringLiteral("a_b"), randomBytes(600 * 1024));
    const QByteArray dumpHash = ArchiveCheck::sha256Of(host.info.dumpFile);
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(), sinkArguments(350000, hidden));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 10);
    Handler handler;
    QVERIFY(handler.doMail(sendChoice(QStringLiteral("它崩溃了")), host.info));
    // Told the limit, the report goes in three mails; refused after the data, it halves its aim
    // until the mails pass.
    const int count = sink.mails().size();
    if (hidden)
        QVERIFY2(count >= 3 && count <= 8, qPrintable(QString::number(count)));
    else
        QCOMPARE(count, 3);

    QTemporaryDir out;
    QSet<QString> messageIds;
    QString report;
    QStringList pieces;
    for (int i = 1; i <= count; ++i)
        pieces << QStringLiteral("a_b.rar.%1").arg(i, 3, 10, QLatin1Char('0'));
    for (int i = 0; i < count; ++i) {
        const QJsonObject mail = SmtpSink::parse(sink.mails().at(i));
        QCOMPARE(mail.value("subject").toString(), QStringLiteral("bug report : a_b (%1/%2)").arg(i + 1).arg(count));
        const QJsonArray parts = mail.value("parts").toArray();
        QCOMPARE(parts.at(1).toObject().value("filename").toString(), pieces.at(i));
        const QString text = parts.at(0).toObject().value("text").toString();
        QVERIFY(text.contains(QStringLiteral("cat %1 > a_b.rar").arg(pieces.join(QLatin1Char(' ')))));
        QCOMPARE(text.startsWith(QStringLiteral("它崩溃了")), i == 0);
        QVERIFY(QFileInfo(sink.mails().at(i)).size() < 350000);
        messageIds << mail.value("message_id").toString();
        if (i == 0)
            report = mail.value("report").toString();
        QCOMPARE(mail.value("report").toString(), report);
    }
    QVERIFY(report.startsWith(QStringLiteral("<crashui.")));
    QCOMPARE(messageIds.size(), count);
    const QString joined = out.filePath(QStringLiteral("a_b.rar"));
    QVERIFY(joinAttachments(sink.mails(), joined, out));
    const ArchiveCheck check = ArchiveCheck::of(joined);
    QVERIFY(check.allReadersOk());
    QCOMPARE(check.entries.first().sha256, dumpHash);
    QVERIFY(!QFile::exists(host.info.dumpFile));
    QVERIFY(host.pendingArchives().isEmpty());
}

void tst_BigReports::resendSendsOnlyTheMissingParts()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(600 * 1024));
    {
        // This server meets the first attempt (which learns the limit) and takes one mail, then
        // is gone: part 2 fails.
        ScriptedSmtpServer server(advertising(350000), 0, 2);
        const ScopedEnv env = pointMailAt(server.port(), 3);
        QVERIFY(!Handler().doMail(sendChoice(QStringLiteral("once")), host.info));
        QVERIFY(server.waitForClientGone(30000));
        QTemporaryDir out;
        const QString eml = writeFile(out.filePath(QStringLiteral("1.eml")), QByteArray::fromStdString(server.message()));
        QCOMPARE(SmtpSink::parse(eml).value("subject").toString(), QStringLiteral("bug report : a_b (1/3)"));
    }
    const PendingRecord record = PendingStore(host.info.dumpDir).list().value(0);
    QCOMPARE(record.partsTotal, 3);
    QCOMPARE(record.partsAccepted, QList<int>{1});
    QVERIFY(QFile::exists(host.info.dumpFile));

    SmtpSink sink(QStringLiteral("Err.submit7"), QString(), sinkArguments(350000, false));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 10);
    PendingStore store(host.info.dumpDir);
    QCOMPARE(PendingSender(store).sendDue(true), 0);
    QCOMPARE(sink.mails().size(), 2);
    QCOMPARE(SmtpSink::parse(sink.mails().at(0)).value("subject").toString(), QStringLiteral("bug report : a_b (2/3)"));
    QCOMPARE(SmtpSink::parse(sink.mails().at(1)).value("subject").toString(), QStringLiteral("bug report : a_b (3/3)"));
    QVERIFY(!QFile::exists(host.info.dumpFile)); // every part accepted
}

void tst_BigReports::tooManyPartsSendsANotice()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(600 * 1024));
    writeFile(host.info.logFiles.first(), QByteArray("start\n") + QByteArray(300 * 1024, 'l') + "the end\n");
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(), sinkArguments(350000, false));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ScopedEnv env = pointMailAt(sink.port(), 10);
    env.set("CRASHUI_MAX_PARTS", "2");
    QVERIFY(Handler().doMail(sendChoice(QStringLiteral("big")), host.info)); // nothing failed
    QCOMPARE(sink.mails().size(), 1);
    QTemporaryDir out;
    const QString attachment = out.filePath(QStringLiteral("logs.zip"));
    const QJsonObject mail = SmtpSink::parse(sink.mails().first(), attachment);
    QCOMPARE(mail.value("subject").toString(), QStringLiteral("bug report : a_b"));
    const QString text = mail.value("parts").toArray().at(0).toObject().value("text").toString();
    QVERIFY2(text.startsWith(QStringLiteral("big")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("x.dmp, 614400 bytes")));
    QVERIFY(text.contains(QStringLiteral("limit of 350000 bytes")));
    QVERIFY(text.contains(QStringLiteral("kept on the user's machine")));
    QCOMPARE(ArchiveCheck::of(attachment).names(), (QStringList{QStringLiteral("app_b.log"), QStringLiteral("svc_b.log")}));

    // The dump stays, pending as too large: not mailed again, removed by the store's bounds.
    QVERIFY(QFile::exists(host.info.dumpFile));
    PendingStore store(host.info.dumpDir);
    QVERIFY(store.list().value(0).tooLarge);
    QStringList lines;
    QCOMPARE(PendingSender(store, [&](const QString& line) { lines << line; }).sendDue(true), 1);
    QVERIFY2(lines.value(0).contains(QStringLiteral("too large")), qPrintable(lines.value(0)));
    QCOMPARE(sink.mails().size(), 1);
}

void tst_BigReports::hourlyLimit()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(10 * 1024));
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ScopedEnv env = pointMailAt(sink.port(), 10);
    env.set("CRASHUI_MAX_REPORTS_PER_HOUR", "2");
    QVERIFY(Handler().doMail(sendChoice(QStringLiteral("one")), host.info));
    const ParamInfo second = [&] {
        ParamInfo info = host.info;
        info.dumpFile = writeFile(host.info.dumpDir + QStringLiteral("/y.dmp"), randomBytes(1000, 2));
        return info;
    }();
    const ParamInfo third = [&] {
        ParamInfo info = host.info;
        info.dumpFile = writeFile(host.info.dumpDir + QStringLiteral("/z.dmp"), randomBytes(1000, 3));
        return info;
    }();
    QVERIFY(Handler().doMail(sendChoice(QStringLiteral("two")), second));
    // Over the limit: kept for later, and no failure.
    QVERIFY(Handler().doMail(sendChoice(QStringLiteral("three")), third));
    QCOMPARE(sink.mails().size(), 2);
    QVERIFY(QFile::exists(third.dumpFile));
    QCOMPARE(host.pendingArchives().size(), 1);
    QCOMPARE(PendingStore(host.info.dumpDir).list().value(0).attempts, 0);

    // An hour later there is room again (the clock moved, not waited for).
    PendingStore later(host.info.dumpDir, [] { return QDateTime::currentDateTimeUtc().addSecs(3601); });
    QCOMPARE(PendingSender(later).sendDue(true), 0);
    QCOMPARE(sink.mails().size(), 3);
    QVERIFY(!QFile::exists(third.dumpFile));
}

// The mail goes out while the archive is packed only when even the most it could grow to fits the
// server's limit; otherwise the report is packed first and planned by its real size: here one mail.
void tst_BigReports::packedFirstWhenItMightNotFit()
{
    TestHost host(QStringLiteral("a_b"), patternBytes(2 * 1024 * 1024));
    const QByteArray dumpHash = ArchiveCheck::sha256Of(host.info.dumpFile);
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(), sinkArguments(1000000, false));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 10);
    QVERIFY(Handler().doMail(sendChoice(), host.info));
    QCOMPARE(sink.mails().size(), 1);
    QTemporaryDir out;
    const QString attachment = out.filePath(QStringLiteral("a_b.rar"));
    const QJsonObject mail = SmtpSink::parse(sink.mails().first(), attachment);
    QCOMPARE(mail.value("subject").toString(), QStringLiteral("bug report : a_b"));
    QCOMPARE(mail.value("parts").toArray().at(1).toObject().value("filename").toString(), QStringLiteral("a_b.rar"));
    QCOMPARE(ArchiveCheck::of(attachment).entries.first().sha256, dumpHash);
    QVERIFY(!QFile::exists(host.info.dumpFile));
}

void tst_BigReports::resendKeepsTheCut_data()
{
    // The dialog's run and a timer's resend run in different environments.
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("another mailbox") << QByteArray("CRASHUI_MAILBOX")
                                     << QByteArray("a.much.longer.mailbox.for.crash.reports@reports.example.com");
    QTest::newRow("more parts allowed") << QByteArray("CRASHUI_MAX_PARTS") << QByteArray("999");
}

void tst_BigReports::resendKeepsTheCut()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    TestHost host(QStringLiteral("a_b"), randomBytes(600 * 1024));
    QTemporaryDir out;
    QStringList pieces;
    {
        // Takes the first piece, then is gone.
        ScriptedSmtpServer server(advertising(350000), 0, 2);
        const ScopedEnv env = pointMailAt(server.port(), 3);
        QVERIFY(!Handler().doMail(sendChoice(QStringLiteral("once")), host.info));
        QVERIFY(server.waitForClientGone(30000));
        pieces << writeFile(out.filePath(QStringLiteral("1.eml")), QByteArray::fromStdString(server.message()));
    }
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(), sinkArguments(350000, false));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ScopedEnv env = pointMailAt(sink.port(), 10);
    env.set(variable.constData(), value);
    PendingStore store(host.info.dumpDir);
    QCOMPARE(PendingSender(store).sendDue(true), 0);
    pieces << sink.mails();
    QCOMPARE(pieces.size(), 3);
    const QString joined = out.filePath(QStringLiteral("joined.zip"));
    QVERIFY(joinAttachments(pieces, joined, out));
    QVERIFY(ArchiveCheck::of(joined).allReadersOk());
    QSet<QString> ids;
    for (const QString& piece : pieces) {
        const QJsonObject mail = SmtpSink::parse(piece);
        ids << mail.value("message_id").toString();
        QCOMPARE(mail.value("archive_sha256").toString().toLatin1(), ArchiveCheck::sha256Of(joined));
    }
    QCOMPARE(ids.size(), 3);
}

void tst_BigReports::mailboxFullIsNoSizeLimit()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(100 * 1024));
    ScriptedSmtpServer server({{"END", ScriptedSmtpServer::reply("552 5.2.2 mailbox full\r\n")}}, 0, 3);
    const ScopedEnv env = pointMailAt(server.port(), 5);
    DispatchOutcome outcome;
    Handler handler;
    handler.setOutcome(&outcome);
    QVERIFY(!handler.doMail(sendChoice(), host.info));
    QVERIFY2(outcome.reason().contains(QStringLiteral("mailbox full")), qPrintable(outcome.reason()));
    const PendingRecord record = PendingStore(host.info.dumpDir).list().value(0);
    QCOMPARE(record.sizeLimit, 0); // nothing learnt: the next attempt sends the report whole
    QVERIFY(!record.tooLarge);
    QCOMPARE(record.attempts, 1);
}

void tst_BigReports::learntLimitCheckedAgain()
{
    // A limit learnt in an attempt long ago; the server now takes far more.
    TestHost host(QStringLiteral("a_b"), randomBytes(600 * 1024));
    const QString id = [&] {
        const std::unique_ptr<PendingReport> report =
            PendingStore(host.info.dumpDir).create(host.info, QStringLiteral("d"), QStringLiteral("bug@example.com"));
        return report ? report->record().id : QString();
    }();
    QVERIFY(HostileStore::editRecord(host.info.dumpDir, id, {{QStringLiteral("sizeLimit"), QStringLiteral("100000")}}));
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(), sinkArguments(50000000, false));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port(), 10);
    PendingStore store(host.info.dumpDir);
    QCOMPARE(PendingSender(store).sendDue(true), 0);
    QCOMPARE(sink.mails().size(), 1); // whole, in one mail
    QCOMPARE(SmtpSink::parse(sink.mails().first()).value("subject").toString(), QStringLiteral("bug report : a_b"));
}

void tst_BigReports::noticeCarriesTheArchivedLogs()
{
    TestHost host(QStringLiteral("a_b"), randomBytes(600 * 1024));
    const QByteArray archivedLog("the log as it was at the crash\n");
    writeFile(host.info.logFiles.first(), archivedLog);
    const QString secret = writeFile(host.base.filePath(QStringLiteral("private/id_key")), "TOP SECRET\n");
    QString id;
    {
        ScriptedSmtpServer server({{"CONNECT", ScriptedSmtpServer::reply("421 not now\r\n")}});
        const ScopedEnv env = pointMailAt(server.port(), 3);
        QVERIFY(!Handler().doMail(sendChoice(QStringLiteral("big")), host.info));
        id = PendingStore(host.info.dumpDir).list().value(0).id;
    }
    // The record now names another file as a log, and the host's log has moved on.
    QVERIFY(HostileStore::editRecord(host.info.dumpDir, id, {{QStringLiteral("logFiles"), QJsonArray{secret}}}));
    writeFile(host.info.logFiles.first(), "written after the report was confirmed\n");
    SmtpSink sink(QStringLiteral("Err.submit7"), QString(), sinkArguments(350000, false));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ScopedEnv env = pointMailAt(sink.port(), 10);
    env.set("CRASHUI_MAX_PARTS", "2");
    PendingStore store(host.info.dumpDir);
    const qint64 archiveSize = store.list().value(0).archiveSize;
    QStringList lines;
    QCOMPARE(PendingSender(store, [&](const QString& line) { lines << line; }).sendDue(true), 1);
    QCOMPARE(sink.mails().size(), 1);
    QTemporaryDir out;
    const QString attachment = out.filePath(QStringLiteral("logs.zip"));
    SmtpSink::parse(sink.mails().first(), attachment);
    const ArchiveCheck check = ArchiveCheck::of(attachment);
    QCOMPARE(check.names(), (QStringList{QStringLiteral("app_b.log"), QStringLiteral("svc_b.log")}));
    QCOMPARE(check.entries.first().sha256, QCryptographicHash::hash(archivedLog, QCryptographicHash::Sha256).toHex());
    // The reason quotes the report's size, not the notice's.
    QVERIFY2(lines.value(0).contains(QStringLiteral("(%1 bytes)").arg(archiveSize)), qPrintable(lines.value(0)));
}

QTEST_GUILESS_MAIN(tst_BigReports)
#include "tst_bigreports.moc"
