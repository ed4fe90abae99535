#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// How a crashing host ended, seen by its parent.
struct HostRun {
    bool ended = false;
    int signal = 0;    // the signal that ended it, or 0
    int exitCode = -1; // its exit code when it exited
    pid_t pid = 0;
};

// Runs a host with stdout to outFile, the environment plus extra, and waits at most timeoutMs.
HostRun runHost(const QByteArray& program, const QList<QByteArray>& args, const QString& outFile,
                const QList<QByteArray>& extra = {}, int timeoutMs = 60000)
{
    QList<QByteArray> argStore{program};
    argStore += args;
    std::vector<char*> argv;
    for (QByteArray& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The sanitizers' own handlers would end the host their way instead of by its signal.
    QList<QByteArray> envStore{"ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_abort=0:"
                               "handle_sigill=0:handle_sigtrap=0:detect_leaks=0"};
    envStore += extra;
    for (char** e = environ; *e; ++e)
        if (!QByteArray(*e).startsWith("ASAN_OPTIONS="))
            envStore += QByteArray(*e);
    std::vector<char*> envp;
    for (QByteArray& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const QByteArray out = QFile::encodeName(outFile);

    HostRun run;
    run.pid = fork();
    if (run.pid == 0) {
        int fd = open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0)
            dup2(fd, 1);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        int status = 0;
        if (waitpid(run.pid, &status, WNOHANG) == run.pid) {
            run.ended = true;
            run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return run;
        }
        QThread::msleep(5);
    }
    kill(run.pid, SIGKILL);
    waitpid(run.pid, nullptr, 0);
    return run;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeScript(const QString& path, const QByteArray& text, bool executable = true)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(f.errorString()));
    f.write(text);
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
}

} // namespace

class tst_CrashHandler : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void crashKinds_data();
    void crashKinds();
    void crashuiUnavailable_data();
    void crashuiUnavailable();
    void noAllocationAfterTheSignal_data();
    void noAllocationAfterTheSignal();
    void hostHandlerStillCalled_data();
    void hostHandlerStillCalled();
    void crashWhileHandling();
    void environmentNotWritten();
    void lldbReadsTheDump_data();
    void lldbReadsTheDump();

private:
    // The stand-in crashui: records its arguments, one a line, then "ppid N".
    QString recordingCrashui();
    QString dumpOf(const HostRun& run) const;
    QStringList recordedArgs() const;

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_root;
};

void tst_CrashHandler::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    m_root = m_dir->filePath("host");
    QVERIFY(QDir().mkpath(m_root));
}

void tst_CrashHandler::cleanup()
{
    // A hanging stand-in wrote its process id: it must not outlive the test.
    const QByteArray pid = readAll(m_dir->filePath("hanging.pid")).trimmed();
    if (!pid.isEmpty())
        kill(pid.toInt(), SIGKILL);
    m_dir.reset();
}

QString tst_CrashHandler::recordingCrashui()
{
    const QString path = m_dir->filePath("crashui");
    writeScript(path, "#!/bin/sh\n"
                      "d=$(dirname \"$0\")\n"
                      "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo \"ppid $PPID\"; } >\"$d/args.tmp\"\n"
                      "mv \"$d/args.tmp\" \"$d/args.txt\"\n");
    return path;
}

QString tst_CrashHandler::dumpOf(const HostRun& run) const
{
    return m_root + QStringLiteral("/dumps/hostcrash_%1.dmp").arg(run.pid);
}

QStringList tst_CrashHandler::recordedArgs() const
{
    return QString::fromUtf8(readAll(m_dir->filePath("args.txt"))).split('\n', Qt::SkipEmptyParts);
}

void tst_CrashHandler::crashKinds_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("signal");
    QTest::newRow("null pointer") << "null" << SIGSEGV;
    QTest::newRow("abort") << "abort" << SIGABRT;
    QTest::newRow("division by zero") << "divzero" << SIGFPE;
    QTest::newRow("stack overflow") << "stackoverflow" << SIGSEGV;
    QTest::newRow("second thread") << "thread" << SIGSEGV;
    QTest::newRow("stack overflow in a second thread") << "threadoverflow" << SIGSEGV;
    QTest::newRow("bus error") << "bus" << SIGBUS;
    QTest::newRow("illegal instruction") << "illegal" << SIGILL;
    QTest::newRow("breakpoint trap") << "trap" << SIGTRAP;
    QTest::newRow("forbidden system call") << "syscall" << SIGSYS;
}

void tst_CrashHandler::crashKinds()
{
    QFETCH(QString, kind);
    QFETCH(int, signal);
    const HostRun run =
        runHost(CRASHHOST, {kind.toUtf8(), QFile::encodeName(m_root), QFile::encodeName(recordingCrashui())},
                m_dir->filePath("out.txt"));
    QVERIFY(run.ended);
    QCOMPARE(run.signal, signal);
    QVERIFY2(readAll(dumpOf(run)).startsWith("MDMP"), qPrintable(dumpOf(run)));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_dir->filePath("args.txt")), 30000);
    const QString name = QStringLiteral("hostcrash_%1").arg(run.pid);
    const QStringList expected{m_root, name, QStringLiteral(CRASHHOST), "--restarted", kind};
    const QStringList args = recordedArgs();
    QCOMPARE(args.mid(0, 5), expected);
    // Detached: the dying host is not crashui's parent.
    QVERIFY(args.value(5).startsWith("ppid "));
    QVERIFY(args.value(5) != QStringLiteral("ppid %1").arg(run.pid));
}

void tst_CrashHandler::crashuiUnavailable_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("executable");
    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("not executable") << QByteArray("#!/bin/sh\n") << false;
    QTest::newRow("hanging") << QByteArray("#!/bin/sh\necho $$ >\"$(dirname \"$0\")/hanging.pid\"\nexec sleep 300\n")
                             << true;
}

void tst_CrashHandler::crashuiUnavailable()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, executable);
    const QString crashui = m_dir->filePath("crashui");
    if (!script.isEmpty())
        writeScript(crashui, script, executable);
    // Generous: the host ends at once, its wait for crashui is bounded to two seconds.
    const HostRun run = runHost(CRASHHOST, {"null", QFile::encodeName(m_root), QFile::encodeName(crashui)},
                                m_dir->filePath("out.txt"), {}, 30000);
    QVERIFY2(run.ended, "the host did not end");
    QCOMPARE(run.signal, SIGSEGV);
    QVERIFY(QFile::exists(dumpOf(run)));
    if (executable)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_dir->filePath("hanging.pid")), 30000);
}

void tst_CrashHandler::noAllocationAfterTheSignal_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("signal");
    QTest::newRow("null pointer") << "null" << SIGSEGV;
    QTest::newRow("abort") << "abort" << SIGABRT;
    QTest::newRow("stack overflow") << "stackoverflow" << SIGSEGV;
    QTest::newRow("second thread") << "thread" << SIGSEGV;
}

void tst_CrashHandler::noAllocationAfterTheSignal()
{
#ifdef CRASHUI_SANITIZED
    QSKIP("the sanitizers bring their own malloc: the interposing host is built without them only");
#endif
    QFETCH(QString, kind);
    QFETCH(int, signal);
    const HostRun run =
        runHost(CRASHHOST_GUARDED, {kind.toUtf8(), QFile::encodeName(m_root), QFile::encodeName(recordingCrashui())},
                m_dir->filePath("out.txt"));
    QVERIFY(run.ended);
    QVERIFY2(run.exitCode != 86, "malloc or free called in the crash path");
    QCOMPARE(run.signal, signal);
    QVERIFY(QFile::exists(dumpOf(run)));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_dir->filePath("args.txt")), 30000);
}

void tst_CrashHandler::hostHandlerStillCalled_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("signal");
    QTest::newRow("null pointer") << "null" << SIGSEGV;
    QTest::newRow("abort") << "abort" << SIGABRT;
    QTest::newRow("division by zero") << "divzero" << SIGFPE;
}

void tst_CrashHandler::hostHandlerStillCalled()
{
    QFETCH(QString, kind);
    QFETCH(int, signal);
    const QString marker = m_dir->filePath("marker");
    const HostRun run = runHost(
        CRASHHOST,
        {kind.toUtf8(), QFile::encodeName(m_root), QFile::encodeName(recordingCrashui()), QFile::encodeName(marker)},
        m_dir->filePath("out.txt"));
    QVERIFY(run.ended);
    QCOMPARE(run.signal, signal);
    QCOMPARE(readAll(marker), QByteArray("host handler ") + QByteArray::number(signal).rightJustified(2, '0') + '\n');
    QVERIFY(QFile::exists(dumpOf(run)));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_dir->filePath("args.txt")), 30000);
}

// A fault while the crash is handled (here in the host's handler that ours calls) ends the
// process by the default action: no loop, no wait.
void tst_CrashHandler::crashWhileHandling()
{
    const HostRun run =
        runHost(CRASHHOST, {"abort", QFile::encodeName(m_root), QFile::encodeName(recordingCrashui()), "crash"},
                m_dir->filePath("out.txt"), {}, 30000);
    QVERIFY2(run.ended, "the host did not end");
    QCOMPARE(run.signal, SIGSEGV);
    QVERIFY(QFile::exists(dumpOf(run)));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_dir->filePath("args.txt")), 30000);
}

void tst_CrashHandler::environmentNotWritten()
{
    const QByteArray secret = "s3cr3t-" + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    const HostRun run = runHost(CRASHHOST, {"null", QFile::encodeName(m_root), QFile::encodeName(recordingCrashui())},
                                m_dir->filePath("out.txt"), {"CRASHUI_TEST_SECRET=" + secret});
    QCOMPARE(run.signal, SIGSEGV);
    const QByteArray dump = readAll(dumpOf(run));
    QVERIFY(dump.contains("crashhost")); // the command line is there...
    QVERIFY(!dump.contains(secret));     // ...the environment is not
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_dir->filePath("args.txt")), 30000);
}

void tst_CrashHandler::lldbReadsTheDump_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("function");
    QTest::addColumn<QString>("caller");
    QTest::addColumn<int>("threads");
    // clang-format off
    QTest::newRow("null pointer") << "null" << "crash_null" << "crash_by_kind" << 1;
    QTest::newRow("division by zero") << "divzero" << "crash_by_kind" << "main" << 1;
    QTest::newRow("stack overflow") << "stackoverflow" << "recurse" << "recurse" << 1;
    QTest::newRow("second thread") << "thread" << "crash_null" << "crash_thread" << 2;
    // clang-format on
}

void tst_CrashHandler::lldbReadsTheDump()
{
    const QString lldb = QStandardPaths::findExecutable("lldb");
    if (lldb.isEmpty())
        QFAIL("lldb is not installed (scripts/setup installs it)");
    QFETCH(QString, kind);
    QFETCH(QString, function);
    QFETCH(QString, caller);
    QFETCH(int, threads);
    const HostRun run =
        runHost(CRASHHOST, {kind.toUtf8(), QFile::encodeName(m_root), QFile::encodeName(recordingCrashui())},
                m_dir->filePath("out.txt"));
    QVERIFY(run.ended);

    QProcess readelf;
    readelf.start("readelf", {"-n", CRASHHOST});
    QVERIFY(readelf.waitForFinished(30000));
    const QString buildId = QRegularExpression("Build ID: ([0-9a-f]+)")
                                .match(QString::fromLatin1(readelf.readAllStandardOutput()))
                                .captured(1);
    QVERIFY(!buildId.isEmpty());

    QProcess debugger;
    debugger.start(lldb, {"-b", "-o", "target create --core " + dumpOf(run), "-o", "bt 2", "-o", "image list", "-o",
                          "thread list", "-o", "process plugin dump --directory"});
    QVERIFY(debugger.waitForFinished(60000));
    const QString out = QString::fromUtf8(debugger.readAllStandardOutput());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_dir->filePath("args.txt")), 30000);
    QVERIFY2(QRegularExpression("frame #0: 0x[0-9a-f]+ crashhost`" + function + "\\b").match(out).hasMatch(),
             qPrintable(out));
    QVERIFY2(QRegularExpression("frame #1: 0x[0-9a-f]+ crashhost`" + caller + "\\b").match(out).hasMatch(),
             qPrintable(out));
    QVERIFY2(QString(out).remove('-').toLower().contains(buildId + " 0x"), qPrintable(out));
    QCOMPARE(out.count(QRegularExpression("thread #\\d+: tid = ")), threads);
    for (const char* stream : {"LinuxMaps", "LinuxProcStatus", "LinuxAuxv", "LinuxCMDLine"})
        QVERIFY2(out.contains(stream), stream);
    QVERIFY(!out.contains("LinuxEnviron"));
}

QTEST_GUILESS_MAIN(tst_CrashHandler)
#include "tst_crashhandler.moc"
