// The report job against a real SMTP server (aiosmtpd); archives are read back with real readers.

#include "tests/tools/archivecheck.h"
#include "dialog/translation.h"
#include "dispatch/handler.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>



class tst_DoMail : public QObject {
    Q_OBJECT
private slots:
    void nothingToSend_data();
    void nothingToSend();
    void reportSentAndCleanedUp_data();
    void reportSentAndCleanedUp();
    void failedMailKeepsFiles();
    void archiveFaults_data();
    void archiveFaults();
    void unreadableLogLeftOut();
    void logsScrubbed_data();
    void logsScrubbed();
    void percentInRoot();
};

void tst_DoMail::nothingToSend_data()
{
    QTest::addColumn<bool>("isSend");
    QTest::addColumn<bool>("withDump");
    QTest::newRow("isSend false") << false << true;
    QTest::newRow("no dump, logs found") << true << false;
}

void tst_DoMail::nothingToSend()
{
    QFETCH(bool, isSend);
    QFETCH(bool, withDump);
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port());
    TestHost host;
    if (!withDump)
        host.info.dumpFile.clear();
    Message msg = sendChoice(QStringLiteral("它崩溃了"));
    msg.isSend = isSend;
    const QStringList before = QDir(host.info.dumpDir).entryList(QDir::Files);
    Handler handler;
    QVERIFY(handler.doMail(msg, host.info));
    QCOMPARE(QDir(host.info.dumpDir).entryList(QDir::Files), before);
    QVERIFY(!QFile::exists(host.archive()));
    QVERIFY(sink.mails().isEmpty());
}

void tst_DoMail::reportSentAndCleanedUp_data()
{
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::newRow("source texts") << QStringList();
    // The mail, the archive's name and its entries are the same in every language.
    QTest::newRow("English locale") << QStringList{QStringLiteral("en-US")};
}

void tst_DoMail::reportSentAndCleanedUp()
{
    QFETCH(QStringList, uiLanguages);
    Lumo::installTranslation(uiLanguages);
    const auto restore = qScopeGuard([] { Lumo::installTranslation({QStringLiteral("zh-CN")}); });
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port());
    TestHost host;
    writeFile(host.info.dumpDir + QStringLiteral("/other.dmp"), "another crash");
    const QByteArray dumpHash = ArchiveCheck::sha256Of(host.info.dumpFile);
    Handler handler;
    QVERIFY(handler.doMail(sendChoice(QStringLiteral("它崩溃了\n.\n第三行")), host.info));
    QCOMPARE(sink.mails().size(), 1);

    QTemporaryDir out;
    const QString attachment = out.filePath(QStringLiteral("a_b.rar"));
    const QJsonObject mail = SmtpSink::parse(sink.mails().first(), attachment);
    QCOMPARE(mail.value("subject").toString(), QStringLiteral("bug report : a_b"));
    QCOMPARE(mail.value("from").toObject().value("name").toString(), QStringLiteral("tova_bug_reporter:bug@example.com"));
    QCOMPARE(mail.value("to").toObject().value("name").toString(), QStringLiteral("tova_bug"));
    const QJsonArray parts = mail.value("parts").toArray();
    QCOMPARE(parts.size(), 2);
    QCOMPARE(parts.at(0).toObject().value("charset").toString(), QStringLiteral("gb2312"));
    QCOMPARE(parts.at(0).toObject().value("text").toString(), QStringLiteral("它崩溃了\r\n.\r\n第三行\r\n"));
    QCOMPARE(parts.at(1).toObject().value("filename").toString(), QStringLiteral("a_b.rar"));

    const ArchiveCheck check = ArchiveCheck::of(attachment);
    QVERIFY(check.readable && check.unzipOk);
    QCOMPARE(check.names(), (QStringList{"a_b.dmp", "app_b.log", "svc_b.log"}));
    QCOMPARE(check.entries.at(0).sha256, dumpHash);
    QCOMPARE(check.entries.at(1).sha256, ArchiveCheck::sha256Of(host.info.logFiles.at(0)));

    QVERIFY(!QFile::exists(host.info.dumpFile));
    QVERIFY(!QFile::exists(host.archive()));
    QVERIFY(QFile::exists(host.info.logFiles.at(0)));
    QVERIFY(QFile::exists(host.info.logFiles.at(1)));
    QVERIFY(QFile::exists(host.info.dumpDir + QStringLiteral("/other.dmp")));
}

void tst_DoMail::logsScrubbed_data()
{
    QTest::addColumn<QByteArray>("scrub");
    QTest::addColumn<bool>("leaveOutSvc");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QByteArray>("appEntry");
    QTest::addColumn<QString>("textLine");
    // Every replacement is longer than what it replaces: the archive grows past the logs' sizes,
    // and the mail announced its size before packing.
    const QByteArray grown = QByteArray("pwd=<secret> <ip> <email>\n").repeated(3000);
    const QString line = QStringLiteral("Private data replaced in the logs (home folder ~, names <user>, host <host>, <email>, "
                                        "<ip>, <secret>): app_b.log: 9000");
    QTest::newRow("on") << QByteArray() << false << false << grown << line + QStringLiteral(", svc_b.log: 0.");
    QTest::newRow("off: as written") << QByteArray("off") << false << false << QByteArray() << QString();
    QTest::newRow("invalid: said, scrubbed") << QByteArray("yes") << false << false << grown
                                             << line + QStringLiteral(", svc_b.log: 0.");
    QTest::newRow("a log left out") << QByteArray("on") << true << false << grown
                                    << line + QStringLiteral(". Left out by the user: svc_b.log.");
    QTest::newRow("as shown, not scrubbed again") << QByteArray("on") << false << true << QByteArray("as shown\n")
                                                  << QStringLiteral("Private data replaced in the logs (home folder ~, names "
                                                                    "<user>, host <host>, <email>, <ip>, <secret>): "
                                                                    "app_b.log: 7, svc_b.log: 0.");
}

void tst_DoMail::logsScrubbed()
{
    QFETCH(QByteArray, scrub);
    QFETCH(bool, leaveOutSvc);
    QFETCH(bool, shown);
    QFETCH(QByteArray, appEntry);
    QFETCH(QString, textLine);
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ScopedEnv env = pointMailAt(sink.port());
    env.set("CRASHUI_SCRUB_LOGS", scrub);
    if (scrub == "yes")
        QTest::ignoreMessage(QtWarningMsg, "crashui: invalid CRASHUI_SCRUB_LOGS \"yes\" (on or off); the logs are scrubbed");
    TestHost host;
    const QByteArray log = QByteArray("pwd=x 10.1.2.3 a@b.cd\n").repeated(3000);
    writeFile(host.info.logFiles.at(0), log);
    Message msg = sendChoice(QStringLiteral("it crashed"));
    if (leaveOutSvc)
        msg.leftOut << host.info.logFiles.at(1);
    if (shown) {
        msg.shown.folder.reset(new QTemporaryDir);
        msg.shown.files.insert(host.info.logFiles.at(0), writeFile(msg.shown.folder->filePath("0"), "as shown\n"));
        msg.shown.replacements.insert(host.info.logFiles.at(0), 7);
    }
    Handler handler;
    QVERIFY(handler.doMail(msg, host.info));
    QCOMPARE(sink.mails().size(), 1);
    QTemporaryDir out;
    const QString attachment = out.filePath(QStringLiteral("a_b.rar"));
    const QJsonObject mail = SmtpSink::parse(sink.mails().first(), attachment);
    const QString text = mail.value("parts").toArray().at(0).toObject().value("text").toString();
    QCOMPARE(text, QStringLiteral("it crashed\r\n") + (textLine.isEmpty() ? QString() : QStringLiteral("\r\n") + textLine + QStringLiteral("\r\n")));

    const ArchiveCheck check = ArchiveCheck::of(attachment);
    QVERIFY(check.readable && check.unzipOk);
    const QStringList names = leaveOutSvc ? QStringList{"a_b.dmp", "app_b.log"} : QStringList{"a_b.dmp", "app_b.log", "svc_b.log"};
    QCOMPARE(check.names(), names);
    QCOMPARE(check.entries.at(1).sha256, QCryptographicHash::hash(appEntry.isEmpty() ? log : appEntry, QCryptographicHash::Sha256).toHex());
    QCOMPARE(readFile(host.info.logFiles.at(0)), log); // the log itself is never changed
}

void tst_DoMail::failedMailKeepsFiles()
{
    SmtpSink sink(QStringLiteral("not the password"));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port());
    TestHost host;
    Handler handler;
    QVERIFY(!handler.doMail(sendChoice(), host.info));
    QVERIFY(QFile::exists(host.info.dumpFile));
    // The report is pending: its archive kept whole.
    QCOMPARE(host.pendingArchives().size(), 1);
    QVERIFY(ArchiveCheck::of(host.pendingArchives().first()).readable);
    QVERIFY(sink.mails().isEmpty());
}

void tst_DoMail::archiveFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("sent");
    // Each run packs into an archive of its own: a directory of the kept archive's name is no
    // obstacle.
    QTest::newRow("archive path is a directory") << "directory" << true;
    QTest::newRow("dump vanished") << "vanished" << false;
    // The pending reports' folder is made again inside it.
    QTest::newRow("dumps folder missing") << "nofolder" << true;
}

void tst_DoMail::archiveFaults()
{
    QFETCH(QString, fault);
    QFETCH(bool, sent);
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port());
    TestHost host;
    if (fault == "directory") {
        QVERIFY(QDir().mkdir(host.archive()));
    } else if (fault == "vanished") {
        QVERIFY(QFile::remove(host.info.dumpFile));
    } else {
        // The dump lives elsewhere and the dumps folder is gone: nowhere to write the archive.
        const QString elsewhere = host.base.filePath(QStringLiteral("x.dmp"));
        QVERIFY(QFile::rename(host.info.dumpFile, elsewhere));
        host.info.dumpFile = elsewhere;
        QVERIFY(QDir(host.info.dumpDir).removeRecursively());
    }
    Handler handler;
    QCOMPARE(handler.doMail(sendChoice(), host.info), sent);
    QCOMPARE(sink.mails().size(), sent ? 1 : 0);
    QVERIFY(host.pendingArchives().isEmpty());
    if (fault == "directory")
        QVERIFY(QFileInfo(host.archive()).isDir());
    else
        QVERIFY(!QFile::exists(host.archive()));
}

void tst_DoMail::unreadableLogLeftOut()
{
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port());
    TestHost host;
    QVERIFY(QFile::remove(host.info.logFiles.at(0)));
    host.info.logFiles << host.root + QStringLiteral("/log"); // a directory, not a file
    Handler handler;
    QVERIFY(handler.doMail(sendChoice(), host.info));
    QTemporaryDir out;
    const QString attachment = out.filePath(QStringLiteral("a.zip"));
    SmtpSink::parse(sink.mails().first(), attachment);
    QCOMPARE(ArchiveCheck::of(attachment).names(), (QStringList{"a_b.dmp", "svc_b.log"}));
}

void tst_DoMail::percentInRoot()
{
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port());
    TestHost host(QStringLiteral("a_b"), patternBytes(256 * 1024), QStringLiteral("host %2 %1"));
    Handler handler;
    QVERIFY(handler.doMail(sendChoice(), host.info));
    QCOMPARE(sink.mails().size(), 1);
    QVERIFY(!QFile::exists(host.info.dumpFile));
    QVERIFY(QDir(host.info.dumpDir).entryList(QDir::Files).isEmpty());
}

QTEST_GUILESS_MAIN(tst_DoMail)
#include "tst_domail.moc"
