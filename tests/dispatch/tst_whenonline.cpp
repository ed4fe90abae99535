// crashui --send-pending --when-online, the binary on a system bus of its own where
// python3-dbusmock plays NetworkManager: no connection while offline, the report at once when
// the network is back, the backoff while online (clock moved with faketime), one waiter for a
// ROOT_DIR, none after a failure that is not the network's or when turned off, and the fallback
// without NetworkManager. Every test ends with no waiter left running.

#include "dispatch/handler.h"
#include "dispatch/onlinewaiter.h"
#include "dispatch/pendingstore.h"
#include "tests/tools/countingrelay.h"
#include "tests/tools/networkmanagerstandin.h"
#include "tests/tools/pendingfixture.h"
#include "tests/tools/refusingport.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

#include <csignal>

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

const QString kFromNetworkManager = QStringLiteral("crashui: the network state comes from NetworkManager\n");
const QString kFallback = QStringLiteral(
    "crashui: NetworkManager is not on the system bus; pending reports are sent on their backoff schedule\n");

// The waiters of root that run now (by their command lines).
QList<pid_t> waiterPids(const QString& root)
{
    const QByteArray wanted = QFileInfo(root).absoluteFilePath().toLocal8Bit();
    QList<pid_t> pids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&number));
        if (!number)
            continue;
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> arguments = file.readAll().split('\0');
        if (arguments.contains("--when-online") && arguments.contains(wanted))
            pids << pid;
    }
    return pids;
}

// Ends the waiters of root that a test left running on purpose; true when none is left.
bool stopWaiters(const QString& root)
{
    for (const pid_t pid : waiterPids(root))
        ::kill(pid, SIGTERM);
    QElapsedTimer waited;
    waited.start();
    while (!waiterPids(root).isEmpty() && waited.elapsed() < 30000)
        QTest::qWait(50);
    return waiterPids(root).isEmpty();
}

// The waiter of root (not the faketime that runs it) is there and its main thread is blocked
// waiting for events (poll): idle in its event loop, or waiting for a server's answer. Either way
// what it started before is under way, and a connection it opened is in the listener's queue.
bool waitsForEvents(const QString& root)
{
    int waiting = 0;
    for (const pid_t pid : waiterPids(root)) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "faketime")
            continue;
        QFile file(QStringLiteral("/proc/%1/syscall").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QByteArray call = file.readAll().split(' ').first();
        if (call != QByteArray::number(SYS_poll) && call != QByteArray::number(SYS_ppoll))
            return false;
        ++waiting;
    }
    return waiting == 1;
}

// A waiter run by the test, its output gathered as it comes.
struct Waiter {
    QProcess process;
    QString err;

    void start(const QString& root, QProcessEnvironment env, const QString& busAddress,
               const QStringList& faketime = {})
    {
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
        process.setProcessEnvironment(env);
        const QStringList arguments{QStringLiteral("--send-pending"), QStringLiteral("--when-online"), root};
        if (faketime.isEmpty())
            process.start(crashuiBinary(), arguments);
        else
            process.start(QStringLiteral("faketime"), faketime + QStringList{crashuiBinary()} + arguments);
    }
    bool said(const QString& line)
    {
        err += QString::fromUtf8(process.readAllStandardError());
        return err.contains(line);
    }
};

} // namespace

class tst_WhenOnline : public QObject {
    Q_OBJECT
private slots:
    void waitsForTheNetwork_data();
    void waitsForTheNetwork();
    void backoffWhileOnline();
    void startsOneWaiter_data();
    void startsOneWaiter();
    void withoutNetworkManager_data();
    void withoutNetworkManager();
    void refusesALinkedStore();
    void notAHostsFolder();
};

void tst_WhenOnline::waitsForTheNetwork_data()
{
    QTest::addColumn<uint>("connectivity");
    QTest::newRow("no network") << uint(NetworkManagerStandIn::None);
    QTest::newRow("captive portal") << uint(NetworkManagerStandIn::Portal);
    QTest::newRow("limited") << uint(NetworkManagerStandIn::Limited);
}

void tst_WhenOnline::waitsForTheNetwork()
{
    QFETCH(uint, connectivity);
    TestHost host;
    const QString id = makePendingReport(host, 1); // its backoff has a quarter of an hour to go
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    CountingRelay relay(sink.port());
    NetworkManagerStandIn network;
    QVERIFY2(network.isRunning(), qPrintable(network.error()));
    QVERIFY(network.setConnectivity(NetworkManagerStandIn::Connectivity(connectivity)));

    Waiter waiter;
    waiter.start(host.root, binaryEnvironment(relay.port()), network.address());
    QTRY_VERIFY_WITH_TIMEOUT(waiter.said(kFromNetworkManager), 30000);
    // Past that line it decides at once; once it waits for events, whatever it tried has reached the relay.
    QTRY_VERIFY_WITH_TIMEOUT(waitsForEvents(host.root), 30000);
    QTest::qWait(0); // the relay takes what is queued
    QCOMPARE(relay.connections(), 0); // nothing tried while offline
    QCOMPARE(waiter.process.state(), QProcess::Running);

    QVERIFY(network.setConnectivity(NetworkManagerStandIn::Full));
    QTRY_COMPARE_WITH_TIMEOUT(sink.mails().size(), 1, 30000);
    // The relay works on this thread: its events must go on while the waiter ends.
    QTRY_COMPARE_WITH_TIMEOUT(waiter.process.state(), QProcess::NotRunning, 30000);
    QCOMPARE(waiter.process.exitCode(), 0);
    QVERIFY(QString::fromUtf8(waiter.process.readAllStandardOutput()).endsWith(QStringLiteral("sent %1\n").arg(id)));
    QCOMPARE(relay.connections(), 1);
    QVERIFY(waiterPids(host.root).isEmpty());
}

void tst_WhenOnline::backoffWhileOnline()
{
    // Online, but the server is down: the ordinary backoff. The waiter starts with its clock moved
    // to a few seconds before the report is due (file times left true).
    TestHost host;
    makePendingReport(host, 0);
    const QDateTime failed = PendingStore(host.info.dumpDir).list().first().lastAttempt;
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    CountingRelay relay(sink.port());
    relay.setDown(true);
    NetworkManagerStandIn network;
    QVERIFY2(network.isRunning(), qPrintable(network.error()));

    QProcessEnvironment env = binaryEnvironment(relay.port());
    env.insert(QStringLiteral("NO_FAKE_STAT"), QStringLiteral("1"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
    const qint64 moved = PendingStore::backoffSeconds(1) - 8 - failed.secsTo(QDateTime::currentDateTimeUtc());
    Waiter waiter;
    waiter.start(host.root, env, network.address(), {QStringLiteral("-f"), QStringLiteral("+%1s").arg(moved)});
    QTRY_VERIFY_WITH_TIMEOUT(waiter.said(kFromNetworkManager), 30000);
    QCOMPARE(relay.connections(), 0);                         // not due yet
    QTRY_COMPARE_WITH_TIMEOUT(relay.connections(), 1, 30000); // due: one try
    // The next is due in half an hour: it sleeps, even with the server back.
    relay.setDown(false);
    // Once the try is on record and it waits for events, it has decided when it wakes next.
    const auto tried = [&host] { return PendingStore(host.info.dumpDir).list().first().attempts == 2; };
    QTRY_VERIFY_WITH_TIMEOUT(tried() && waitsForEvents(host.root), 30000);
    QTest::qWait(0); // the relay takes what is queued
    QCOMPARE(relay.connections(), 1);
    QCOMPARE(waiter.process.state(), QProcess::Running);
    const PendingRecord record = PendingStore(host.info.dumpDir).list().first();
    QCOMPARE(record.attempts, 2);
    QVERIFY(stopWaiters(host.root));
    QTRY_COMPARE_WITH_TIMEOUT(waiter.process.state(), QProcess::NotRunning, 30000); // faketime, which ran it
}

void tst_WhenOnline::startsOneWaiter_data()
{
    QTest::addColumn<QString>("run"); // "dialog": the report job in this process; "pending": --send-pending
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("setting"); // CRASHUI_RESEND_WHEN_ONLINE
    QTest::addColumn<bool>("waiter");
    QTest::newRow("dialog: connection refused") << "dialog"
                                                << "refused"
                                                << "" << true;
    QTest::newRow("--send-pending: connection refused") << "pending"
                                                        << "refused"
                                                        << "on" << true;
    QTest::newRow("dialog: login refused") << "dialog"
                                           << "login"
                                           << "on" << false;
    QTest::newRow("--send-pending: login refused") << "pending"
                                                   << "login"
                                                   << "on" << false;
    QTest::newRow("dialog: bad configuration") << "dialog"
                                               << "configuration"
                                               << "on" << false;
    QTest::newRow("dialog: turned off") << "dialog"
                                        << "refused"
                                        << "off" << false;
    QTest::newRow("--send-pending: turned off") << "pending"
                                                << "refused"
                                                << "off" << false;
    QTest::newRow("dialog: invalid value") << "dialog"
                                           << "refused"
                                           << "maybe" << false;
}

void tst_WhenOnline::startsOneWaiter()
{
    QFETCH(QString, run);
    QFETCH(QString, failure);
    QFETCH(QString, setting);
    QFETCH(bool, waiter);
    TestHost host;
    NetworkManagerStandIn network;
    QVERIFY2(network.isRunning(), qPrintable(network.error()));
    QVERIFY(network.setConnectivity(NetworkManagerStandIn::None));
    SmtpSink sink(QStringLiteral("another password"));
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const quint16 port = failure == QLatin1String("login") ? sink.port() : deadPort();
    QProcessEnvironment env = binaryEnvironment(port);
    if (failure == QLatin1String("configuration"))
        env.insert(QStringLiteral("CRASHUI_SMTP_PORT"), QStringLiteral("0"));
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), network.address());
    if (setting.isEmpty())
        env.remove(QStringLiteral("CRASHUI_RESEND_WHEN_ONLINE")); // the default
    else
        env.insert(QStringLiteral("CRASHUI_RESEND_WHEN_ONLINE"), setting);
    // The report job in this process sees the same environment as the binary.
    ScopedEnv scoped;
    for (const char* name : {"CRASHUI_SMTP_HOST", "CRASHUI_SMTP_PORT", "CRASHUI_MAILBOX", "CRASHUI_SMTP_PASSWORD",
                             "CRASHUI_SMTP_TIMEOUT", "DBUS_SYSTEM_BUS_ADDRESS", "CRASHUI_RESEND_WHEN_ONLINE"}) {
        if (env.contains(QString::fromLatin1(name)))
            scoped.set(name, env.value(QString::fromLatin1(name)).toUtf8());
        else
            scoped.unset(name);
    }
    OnlineWaiter::setProgram(crashuiBinary());

    // Two failing runs, one after the other.
    for (int i = 0; i < 2; ++i) {
        if (setting == QLatin1String("maybe"))
            QTest::ignoreMessage(QtWarningMsg, "crashui: invalid CRASHUI_RESEND_WHEN_ONLINE: \"maybe\" (on or off); "
                                               "the report is not sent when the network comes back");
        if (run == QLatin1String("dialog")) {
            QVERIFY(!Handler().doMail(sendChoice(), host.info));
            host.info.dumpFile = writeFile(host.info.dumpDir + QStringLiteral("/y%1.dmp").arg(i), patternBytes(4096));
        } else {
            makePendingReport(host, 16);
            QProcess pending;
            pending.setProcessEnvironment(env);
            pending.start(crashuiBinary(), {QStringLiteral("--send-pending"), host.root});
            QVERIFY(pending.waitForFinished(60000));
            QCOMPARE(pending.exitCode(), 1);
        }
        if (waiter)
            QTRY_COMPARE_WITH_TIMEOUT(waiterPids(host.root).size(), 1, 30000);
    }
    // A waiter is started detached and has begun by the time its starter returns: a second one,
    // were it started, shows at once.
    QCOMPARE(waiterPids(host.root).size(), waiter ? 1 : 0);
    QCOMPARE(OnlineWaiter::isRunning(host.root), waiter);
    if (waiter) {
        // Detached: a session of its own, so that neither the dialog's end nor a hang-up of the
        // host's terminal or process group takes it along.
        const pid_t pid = waiterPids(host.root).first();
        QVERIFY(::getsid(pid) != ::getsid(0));
        QVERIFY(::getpgid(pid) != ::getpgid(0));
        // One started by hand meanwhile leaves at once.
        Waiter second;
        second.start(host.root, env, network.address());
        QVERIFY(second.process.waitForFinished(30000));
        QCOMPARE(second.process.exitCode(), 1);
        QVERIFY(second.said(QStringLiteral("crashui: another process already waits to send the pending reports of ")));
        QCOMPARE(waiterPids(host.root), QList<pid_t>{pid});
    }
    OnlineWaiter::setProgram(QString());
    QVERIFY(stopWaiters(host.root));
}

void tst_WhenOnline::withoutNetworkManager_data()
{
    QTest::addColumn<bool>("bus");
    QTest::newRow("a system bus without NetworkManager") << true;
    QTest::newRow("no system bus") << false;
}

void tst_WhenOnline::withoutNetworkManager()
{
    QFETCH(bool, bus);
    TestHost host;
    const QString id = makePendingReport(host, 16); // due
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    NetworkManagerStandIn network(false);
    QVERIFY2(network.isRunning(), qPrintable(network.error()));
    Waiter waiter;
    waiter.start(host.root, binaryEnvironment(sink.port()),
                 bus ? network.address() : QStringLiteral("unix:path=") + host.base.filePath(QStringLiteral("none")));
    QVERIFY(waiter.process.waitForFinished(60000));
    QCOMPARE(waiter.process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(waiter.process.readAllStandardOutput()), QStringLiteral("sent %1\n").arg(id));
    QVERIFY(waiter.said(kFallback));
    QCOMPARE(waiter.err.count(QStringLiteral("NetworkManager")), 1); // said once
    QCOMPARE(sink.mails().size(), 1);
    QVERIFY(waiterPids(host.root).isEmpty());
}

// The waiter followed a pending folder that is a link and left its lock in the folder it named.
void tst_WhenOnline::refusesALinkedStore()
{
    TestHost host;
    const QString elsewhere = host.base.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    QVERIFY(QDir().mkpath(host.root + QStringLiteral("/dumps")));
    QVERIFY(QFile::link(elsewhere, host.root + QStringLiteral("/dumps/pending")));
    NetworkManagerStandIn network(true);
    QVERIFY2(network.isRunning(), qPrintable(network.error()));
    Waiter waiter;
    waiter.start(host.root, binaryEnvironment(deadPort()), network.address());
    QVERIFY(waiter.process.waitForFinished(60000));
    QCOMPARE(waiter.process.exitCode(), 1);
    QVERIFY2(waiter.said(QStringLiteral("is a symbolic link")), qPrintable(waiter.err));
    QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    QVERIFY(waiterPids(host.root).isEmpty());
}

void tst_WhenOnline::notAHostsFolder()
{
    // Started by hand on a folder without dumps, it left dumps/pending/ behind there.
    TestHost host;
    const QString folder = host.base.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(folder));
    Waiter waiter;
    waiter.start(folder, binaryEnvironment(deadPort()),
                 QStringLiteral("unix:path=") + host.base.filePath(QStringLiteral("none")));
    QVERIFY(waiter.process.waitForFinished(60000));
    QCOMPARE(waiter.process.exitCode(), 0);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

QTEST_GUILESS_MAIN(tst_WhenOnline)
#include "tst_whenonline.moc"
