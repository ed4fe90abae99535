#include "dispatch/handler.h"
#include "report/restartguard.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QDeadlineTimer>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {


// Records what the dialog would see, on the GUI thread.
class Recorder : public QObject {
    Q_OBJECT
public:
    QStringList events;
public slots:
    void sendMail() { events << QStringLiteral("sendMail"); }
    void close(bool ok) { events << (ok ? QStringLiteral("close:true") : QStringLiteral("close:false")); }
};

// A crashed host whose restart program records its arguments; the dump only when asked for.
std::unique_ptr<TestHost> hostWithRestart(bool withDump)
{
    auto host = std::make_unique<TestHost>(QStringLiteral("a_b"), QByteArray(4096, 'd'));
    if (!withDump) {
        QFile::remove(host->info.dumpFile);
        host->info.dumpFile.clear();
    }
    host->addRestartProgram();
    return host;
}

void wire(Handler& handler, Recorder& recorder)
{
    QObject::connect(&handler, &Handler::sig_sendMail, &recorder, &Recorder::sendMail);
    QObject::connect(&handler, &Handler::sig_close, &recorder, &Recorder::close);
}

// Confirms once with these choices and waits (bounded) for the result: what the dialog saw.
QStringList confirmAndWait(const ParamInfo& context, bool isSend, bool isRestart, int timeoutMs)
{
    Recorder recorder;
    Handler handler;
    handler.setCrashContext(context);
    wire(handler, recorder);
    Message msg;
    msg.isSend = isSend;
    msg.isRestart = isRestart;
    handler.slot_crashInfo(msg);
    QDeadlineTimer deadline(timeoutMs);
    while (recorder.events.size() < 2 && !deadline.hasExpired())
        QTest::qWait(20);
    return recorder.events;
}

} // namespace

class tst_Handler : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void metaObject();
    void signalOrderAndRestart_data();
    void signalOrderAndRestart();
    void secondConfirmationRefused();
    void destructorWaitsForWorker();
    void restartProgramUnusable_data();
    void restartProgramUnusable();
    void restartAfter_data();
    void restartAfter();
};

void tst_Handler::initTestCase()
{
    qRegisterMetaType<Message>("Message");
}

void tst_Handler::metaObject()
{
    const QMetaObject& meta = Handler::staticMetaObject;
    QCOMPARE(QByteArray(meta.className()), QByteArray("Handler"));
    const QList<QByteArray> expected{"sig_close(bool)", "sig_sendMail()", "slot_crashInfo(Message)",
                                     "doMail(Message,ParamInfo)", "sendClose(bool)"};
    QCOMPARE(meta.methodCount() - meta.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(meta.method(meta.methodOffset() + i).methodSignature(), expected.at(i));
}

void tst_Handler::signalOrderAndRestart_data()
{
    QTest::addColumn<bool>("isSend");
    QTest::addColumn<bool>("isRestart");
    QTest::addColumn<bool>("withDump");
    QTest::addColumn<bool>("mailWorks");
    QTest::addColumn<QString>("result");
    QTest::newRow("send+restart") << true << true << true << true << "close:true";
    QTest::newRow("send only") << true << false << true << true << "close:true";
    QTest::newRow("restart only") << false << true << true << true << "close:true";
    QTest::newRow("neither") << false << false << true << true << "close:true";
    QTest::newRow("send, no dump") << true << true << false << true << "close:true";
    QTest::newRow("send, mail fails, restart") << true << true << true << false << "close:false";
    QTest::newRow("send, mail fails") << true << false << true << false << "close:false";
}

void tst_Handler::signalOrderAndRestart()
{
    QFETCH(bool, isSend);
    QFETCH(bool, isRestart);
    QFETCH(bool, withDump);
    QFETCH(bool, mailWorks);
    QFETCH(QString, result);
    SmtpSink sink(mailWorks ? QStringLiteral("Err.submit7") : QStringLiteral("refused"));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const ScopedEnv env = pointMailAt(sink.port());
    const auto host = hostWithRestart(withDump);
    Recorder recorder;
    {
        Handler handler;
        handler.setCrashContext(host->info);
        wire(handler, recorder);
        Message msg;
        msg.isSend = isSend;
        msg.isRestart = isRestart;
        handler.slot_crashInfo(msg);
        // The result is queued: it never arrives within the confirming call.
        QCOMPARE(recorder.events, QStringList{QStringLiteral("sendMail")});
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 2, 30000);
        QCOMPARE(recorder.events, (QStringList{QStringLiteral("sendMail"), result}));
    }
    QCoreApplication::sendPostedEvents(); // the worker has ended: whatever it queued is delivered now
    QCOMPARE(recorder.events.size(), 2);
    QCOMPARE(sink.mails().size(), isSend && withDump && mailWorks ? 1 : 0);
    if (isRestart) {
        QTRY_COMPARE_WITH_TIMEOUT(host->restartArgs(), QStringLiteral("Title\n--opt\ntwo words\n"), 30000);
        // The crash-loop guard learns of the restart.
        QVERIFY(RestartGuard::restartedRecently(host->info.dumpDir));
    } else {
        QVERIFY(!RestartGuard::restartedRecently(host->info.dumpDir)); // the worker has ended, starting nothing
        QCOMPARE(host->restartArgs(), QString());
    }
}

void tst_Handler::secondConfirmationRefused()
{
    // A server that accepts and says nothing keeps the first worker busy.
    auto server = std::make_unique<ScriptedSmtpServer>(
        std::map<std::string, ScriptedSmtpServer::Step>{{"CONNECT", ScriptedSmtpServer::stall()}});
    const ScopedEnv env = pointMailAt(server->port());
    const auto host = hostWithRestart(true);
    Recorder recorder;
    Handler handler;
    handler.setCrashContext(host->info);
    wire(handler, recorder);
    Message msg;
    msg.isSend = true;
    handler.slot_crashInfo(msg);
    handler.slot_crashInfo(msg);
    QCOMPARE(recorder.events, QStringList{QStringLiteral("sendMail")});
    server.reset(); // the server hangs up; the worker fails at once
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 2, 30000);
    QCOMPARE(recorder.events.last(), QStringLiteral("close:false"));
    QVERIFY(QFile::exists(host->root + QStringLiteral("/dumps/x.dmp")));
    // Once the first worker has ended, a new confirmation starts another.
    QTRY_VERIFY(handler.findChildren<QThread*>().first()->isFinished());
    msg.isSend = false;
    handler.slot_crashInfo(msg);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 4, 30000);
}

void tst_Handler::destructorWaitsForWorker()
{
    auto server = std::make_unique<ScriptedSmtpServer>(
        std::map<std::string, ScriptedSmtpServer::Step>{{"CONNECT", ScriptedSmtpServer::stall()}});
    const ScopedEnv env = pointMailAt(server->port());
    const auto host = hostWithRestart(true);
    auto handler = std::make_unique<Handler>();
    handler->setCrashContext(host->info);
    Message msg;
    msg.isSend = true;
    msg.isRestart = true;
    handler->slot_crashInfo(msg);
    QThread* worker = handler->findChildren<QThread*>().first();
    QVERIFY(worker->isRunning());
    std::thread hangUp([&server] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.reset();
    });
    handler.reset(); // like Cancel during sending: must wait, not destroy a running thread
    hangUp.join();
    // The worker's last steps still happened: the restart was requested.
    QTRY_COMPARE_WITH_TIMEOUT(host->restartArgs(), QStringLiteral("Title\n--opt\ntwo words\n"), 30000);
}

void tst_Handler::restartProgramUnusable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("not executable") << "plain";
    QTest::newRow("a directory") << "directory";
    QTest::newRow("empty path") << "empty";
}

void tst_Handler::restartProgramUnusable()
{
    QFETCH(QString, kind);
    const auto host = hostWithRestart(false);
    ParamInfo& context = host->info;
    if (kind == "missing") {
        context.appPath = host->base.filePath(QStringLiteral("no-such-program"));
    } else if (kind == "plain") {
        QFile::setPermissions(host->restartProgram, QFile::ReadOwner | QFile::WriteOwner);
    } else if (kind == "directory") {
        context.appPath = host->base.path();
    } else {
        context.appPath.clear();
    }
    QCOMPARE(confirmAndWait(host->info, false, true, 30000),
             (QStringList{QStringLiteral("sendMail"), QStringLiteral("close:true")}));
    QVERIFY(!RestartGuard::restartedRecently(host->info.dumpDir)); // the worker has ended, starting nothing
    QCOMPARE(host->restartArgs(), QString());
}

void tst_Handler::restartAfter_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("beforeMailEnds");
    QTest::newRow("pack") << "pack" << true;
    QTest::newRow("mail") << "mail" << false;
    QTest::newRow("unknown: after the mail") << "soon" << false;
}

// With "pack" the host is back while its report's mail is still waiting for the server's word;
// the report is kept until then, and the dialog still hears of the outcome once.
void tst_Handler::restartAfter()
{
    QFETCH(QString, value);
    QFETCH(bool, beforeMailEnds);
    const auto host = hostWithRestart(true);
    ScriptedSmtpServer server({{"END", ScriptedSmtpServer::reply("451 4.3.0 try again later\r\n")}});
    std::atomic<bool> restartedFirst{false};
    std::atomic<bool> keptMeanwhile{false};
    server.beforeReply("END", [&] {
        // The guard is written the moment the host is started again, and a restart at packing
        // happens before the archive's last byte goes out: with "mail" there is nothing to wait for.
        const QString dumpDir = host->info.dumpDir;
        QDeadlineTimer wait(beforeMailEnds ? 30000 : 0);
        while (!RestartGuard::restartedRecently(dumpDir) && !wait.hasExpired())
            QThread::msleep(10);
        restartedFirst = RestartGuard::restartedRecently(dumpDir);
        keptMeanwhile = host->pendingArchives().size() == 1;
    });
    const ScopedEnv env = pointMailAt(server.port(), 60);
    const ScopedEnv after("CRASHUI_RESTART_AFTER", value.toUtf8());
    QCOMPARE(confirmAndWait(host->info, true, true, 60000),
             (QStringList{QStringLiteral("sendMail"), QStringLiteral("close:false")}));
    QCOMPARE(restartedFirst.load(), beforeMailEnds);
    QVERIFY(keptMeanwhile.load());
    QCOMPARE(host->restartArgs(), QStringLiteral("Title\n--opt\ntwo words\n")); // once
    QCOMPARE(host->pendingArchives().size(), 1);
    QVERIFY(QFile::exists(host->info.dumpFile));
}

QTEST_GUILESS_MAIN(tst_Handler)
#include "tst_handler.moc"
