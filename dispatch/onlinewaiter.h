#pragma once

#include "dispatch/dispatchconfig.h"
#include "dispatch/networkwatch.h"
#include "dispatch/pendingstore.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QTimer;

// Sends the pending reports of one store as soon as the machine is online again, and on their
// ordinary backoff meanwhile (crashui --send-pending --when-online ROOT_DIR). When the network
// comes back, every report goes at once whatever its backoff says: the failures were the
// network's. Otherwise a report is tried when it is due, online or not (a VPN that the network
// source calls offline still gets its reports out). Between passes it sleeps on one timer set to
// the next due time; it ends when nothing it could send is left, or after a day. Main thread only.
class OnlineWaiter : public QObject {
    Q_OBJECT
public:
    // One pass over the store: sends the reports that are due, or all of them when everyDue.
    using SendPass = std::function<void(bool everyDue)>;

    static constexpr qint64 kLifetimeSeconds = 24 * 3600;
    // A report that was due but did not go (another process holds it, the hourly limit) is looked
    // at again after this.
    static constexpr qint64 kRecheckSeconds = 300;

    OnlineWaiter(PendingStore& store, NetworkWatch& watch, SendPass send, QObject* parent = nullptr);

    // The mail configuration's stamp (DispatchConfig::mailStamp()) against which a report refused
    // for its configuration is judged: such a report is waited for only when it differs.
    void setConfigStamp(const QString& stamp) { m_configStamp = stamp; }
    // The first pass (what is due goes now), then waits.
    void start();
    bool isFinished() const { return m_finished; }
    // When it wakes by itself next, by the store's clock; invalid once finished.
    QDateTime nextWake() const { return m_nextWake; }
    // It ended because its day was over, with reports still to wait for.
    bool timedOut() const { return m_timedOut; }

    // crashui --send-pending --when-online ROOT_DIR. Output and exit codes as --send-pending; one
    // line on standard error names the network source. Another waiter of the same ROOT_DIR
    // already running: says so and ends at once.
    static int runHeadless(const QStringList& arguments, const DispatchConfig& config);

    // The crashui program that startDetached runs; nothing is started while it is empty (as in
    // programs other than crashui that use this library). Set once, before any worker starts.
    static void setProgram(const QString& path);
    // After a network failure left a report of rootDir pending: starts a detached waiter for it
    // (it outlives this process), unless CRASHUI_RESEND_WHEN_ONLINE is off (or invalid: said on
    // standard error) or one is running already. True when one was started. Any thread.
    static bool startDetached(const QString& rootDir, const DispatchConfig& config);
    // A waiter holds the store's lock.
    static bool isRunning(const QString& rootDir);

signals:
    // 0 when nothing is pending any more, 1 when some reports remain.
    void sig_finished(int exitCode);

public slots:
    void slot_wake();

private slots:
    void slot_networkChanged(NetworkWatch::State state);

private:
    void pass(bool everyDue);
    void finish();

    PendingStore& m_store;
    NetworkWatch& m_watch;
    SendPass m_send;
    QString m_configStamp;
    QTimer* m_timer;
    QDateTime m_end;
    QDateTime m_nextWake;
    NetworkWatch::State m_last = NetworkWatch::State::Unknown;
    bool m_finished = false;
    bool m_timedOut = false;
};
