#include "dispatch/onlinewaiter.h"

#include "dispatch/networkmanagerwatch.h"
#include "dispatch/pendingsender.h"
#include "dispatch/retrypolicy.h"
#include "dispatch/sendpendingrun.h"
#include "report/uniquefd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>
#include <QTimer>

#include <climits>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString g_program;

QString storeFolder(const QString& rootDir)
{
    return rootDir + QStringLiteral("/dumps/pending");
}

// One waiter per store: it holds an flock on this file as long as it lives (the kernel releases
// it when the process ends, however it ends). The file stays: removing a lock file that others
// may have opened would let two holders exist at once.
class WaiterLock {
public:
    explicit WaiterLock(const QString& folder, bool create)
    {
        const QByteArray path = QFile::encodeName(folder + QStringLiteral("/when-online.lock"));
        m_fd.reset(
            ::open(path.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0), 0600));
        if (m_fd.valid() && ::flock(m_fd.get(), LOCK_EX | LOCK_NB) == 0)
            m_held = true;
    }

    bool held() const { return m_held; }
    // The file exists and someone else holds it.
    bool heldElsewhere() const { return m_fd.valid() && !m_held; }

private:
    UniqueFd m_fd;
    bool m_held = false;
};

// The next time a pass can do something, or invalid when waiting cannot help any report.
QDateTime nextDue(const PendingStore& store, const QDateTime& now, const QString& configStamp)
{
    QDateTime next;
    for (const PendingRecord& record : store.list()) {
        if (!record.created.isValid() || record.tooLarge)
            continue; // waiting does not help: unreadable, or kept on this machine for good
        QDateTime due = decideRetry(record, now, configStamp).next;
        if (!due.isValid())
            continue; // only a change of the configuration helps
        if (due <= now)
            due = now.addSecs(OnlineWaiter::kRecheckSeconds); // it was due and did not go
        if (!next.isValid() || due < next)
            next = due;
    }
    return next;
}

// Waiters one after the other while the lock is this process's: a run that failed while one was
// ending found the lock held and started no waiter; its report, recorded before it looked, is
// seen once the lock is let go. The exit code of the last.
int waitAndSend(PendingStore& store, NetworkWatch& watch, PendingSender& sender, const QString& stamp,
                std::unique_ptr<WaiterLock> lock)
{
    int exitCode = 0;
    for (;;) {
        OnlineWaiter waiter(store, watch, [&sender](bool everyDue) { sender.sendDue(everyDue); });
        waiter.setConfigStamp(stamp);
        QObject::connect(&waiter, &OnlineWaiter::sig_finished, [&exitCode](int code) {
            exitCode = code;
            QCoreApplication::exit(code);
        });
        waiter.start();
        if (!waiter.isFinished())
            QCoreApplication::exec();
        if (waiter.timedOut())
            break;
        lock.reset();
        if (!nextDue(store, store.now(), stamp).isValid())
            break;
        lock = std::make_unique<WaiterLock>(store.folder(), true);
        if (!lock->held())
            break; // a new waiter has it
    }
    return exitCode;
}

} // namespace

OnlineWaiter::OnlineWaiter(PendingStore& store, NetworkWatch& watch, SendPass send, QObject* parent)
    : QObject(parent), m_store(store), m_watch(watch), m_send(std::move(send)), m_timer(new QTimer(this))
{
    m_timer->setObjectName(QStringLiteral("dueTimer"));
    m_timer->setSingleShot(true);
    // Fires once a quarter of an hour at most: precision costs nothing, and a coarse timer may
    // fire before the report is due.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &OnlineWaiter::slot_wake);
}

void OnlineWaiter::start()
{
    m_end = m_store.now().addSecs(kLifetimeSeconds);
    m_last = m_watch.state();
    connect(&m_watch, &NetworkWatch::sig_stateChanged, this, &OnlineWaiter::slot_networkChanged);
    pass(false);
}

void OnlineWaiter::slot_networkChanged(NetworkWatch::State state)
{
    const bool cameOnline = state == NetworkWatch::State::Online && m_last != NetworkWatch::State::Online;
    m_last = state;
    if (cameOnline && !m_finished)
        pass(true);
}

void OnlineWaiter::slot_wake()
{
    if (m_finished)
        return;
    const QDateTime now = m_store.now();
    if (now >= m_end) {
        m_timedOut = true;
        finish();
        return;
    }
    if (m_nextWake.isValid() && now < m_nextWake) {
        // Early (the wall clock was set back): sleep the rest.
        m_timer->start(static_cast<int>(qMin(now.msecsTo(m_nextWake), qint64(INT_MAX))));
        return;
    }
    pass(false);
}

void OnlineWaiter::pass(bool everyDue)
{
    m_timer->stop();
    m_send(everyDue);
    const QDateTime now = m_store.now();
    const QDateTime due = nextDue(m_store, now, m_configStamp);
    if (!due.isValid() || now >= m_end) {
        m_timedOut = due.isValid();
        finish();
        return;
    }
    // A second late: the backoff counts whole seconds, and a wake-up a moment early would find
    // nothing due.
    m_nextWake = qMin(due.addSecs(1), m_end);
    m_timer->start(static_cast<int>(qBound(qint64(0), now.msecsTo(m_nextWake), qint64(INT_MAX))));
}

void OnlineWaiter::finish()
{
    m_timer->stop();
    m_finished = true;
    m_nextWake = QDateTime();
    emit sig_finished(m_store.list().isEmpty() ? 0 : 1);
}

int OnlineWaiter::runHeadless(const QStringList& arguments, const DispatchConfig& config)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    // arguments: the program, "--send-pending", "--when-online", ROOT_DIR
    if (arguments.size() != 4 || arguments.at(3).isEmpty()) {
        err << "usage: crashui --send-pending --when-online ROOT_DIR\n";
        return 2;
    }
    const QString root = arguments.at(3);
    // A pending folder that is a link, or another user's, is refused as --send-pending refuses it.
    if (const int refused = SendPendingRun::checkRoot(root, err))
        return refused;
    PendingStore store(root + QStringLiteral("/dumps"));
    // A folder without dumps holds nothing to send: nothing is made in it (a mistyped ROOT_DIR).
    if (!QFileInfo(root + QStringLiteral("/dumps")).isDir())
        return 0;
    QDir().mkpath(store.folder());
    auto lock = std::make_unique<WaiterLock>(store.folder(), true);
    if (!lock->held()) {
        err << "crashui: another process already waits to send the pending reports of " << root << "\n";
        return store.list().isEmpty() ? 0 : 1;
    }
    store.removeLitter();
    const auto say = [&out](const QString& line) {
        out << line << "\n";
        out.flush();
    };
    for (const QString& drop : store.prune(config.pending))
        say(QStringLiteral("dropped ") + drop);

    NetworkManagerWatch watch;
    if (watch.start())
        err << "crashui: the network state comes from NetworkManager\n";
    else
        err << "crashui: NetworkManager is not on the system bus; pending reports are sent on their backoff schedule\n";
    err.flush();

    PendingSender sender(store, config, say);
    return waitAndSend(store, watch, sender, config.mailStamp(), std::move(lock));
}

void OnlineWaiter::setProgram(const QString& path)
{
    g_program = path;
}

bool OnlineWaiter::isRunning(const QString& rootDir)
{
    return WaiterLock(storeFolder(rootDir), false).heldElsewhere();
}

bool OnlineWaiter::startDetached(const QString& rootDir, const DispatchConfig& config)
{
    if (!config.resendWhenOnline) {
        if (!config.resendWhenOnlineValid)
            qWarning("crashui: invalid CRASHUI_RESEND_WHEN_ONLINE: \"%s\" (on or off); the report is not sent when "
                     "the network comes back",
                     qPrintable(config.resendWhenOnlineValue));
        return false;
    }
    if (g_program.isEmpty() || isRunning(rootDir))
        return false;
    // Detached: a session of its own (it outlives the dialog and the host), no terminal, and a
    // working folder that keeps no file system busy.
    QProcess waiter;
    waiter.setProgram(g_program);
    waiter.setArguments(
        {QStringLiteral("--send-pending"), QStringLiteral("--when-online"), QFileInfo(rootDir).absoluteFilePath()});
    waiter.setStandardInputFile(QProcess::nullDevice());
    waiter.setStandardOutputFile(QProcess::nullDevice());
    waiter.setStandardErrorFile(QProcess::nullDevice());
    waiter.setWorkingDirectory(QStringLiteral("/"));
    return waiter.startDetached();
}
