// The waiter's schedule, by a clock the test moves: no attempt before a report is due while
// offline, one at its due time, everything at once when the network comes back, one timer to
// the next due time, an end after a day.

#include "dispatch/networkwatch.h"
#include "dispatch/onlinewaiter.h"
#include "dispatch/pendingstore.h"
#include "tests/tools/testhost.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using State = NetworkWatch::State;

class tst_OnlineWaiter : public QObject {
    Q_OBJECT
private slots:
    void schedule_data();
    void schedule();
};

void tst_OnlineWaiter::schedule_data()
{
    QTest::addColumn<State>("initial");
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<int>("attemptsBefore"); // of the one pending report, the last one at the start
    QTest::addColumn<bool>("tooLarge");
    // Space-separated, one entry a step: the step ("start", "online", "offline", "unknown", "due":
    // the clock moved to the next wake-up and the timer fired), the attempts to send made in it,
    // and then the next wake-up in seconds after the start, or "endN" when it ended with code N
    // ("dayN": ended so because its day was over).
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("attempts");
    QTest::addColumn<QString>("wakes");

    QTest::newRow("offline: nothing before due, one try at due")
        << State::Offline << false << 1 << false << "start due due"
        << "0 1 1"
        << "901 2702 6303";
    QTest::newRow("unknown: the same as offline") << State::Unknown << false << 1 << false << "start due"
                                                  << "0 1"
                                                  << "901 2702";
    QTest::newRow("back online: at once, whatever the backoff")
        << State::Offline << true << 3 << false << "start online"
        << "0 1"
        << "3601 end0";
    QTest::newRow("online, server down: the backoff holds") << State::Online << false << 1 << false << "start due due"
                                                            << "0 1 1"
                                                            << "901 2702 6303";
    QTest::newRow("offline again, then online: at once")
        << State::Online << false << 1 << false << "start offline online"
        << "0 0 1"
        << "901 901 1801";
    QTest::newRow("never tried, online: sent at start") << State::Online << true << 0 << false << "start"
                                                        << "1"
                                                        << "end0";
    QTest::newRow("never tried, offline: tried at start anyway") << State::Offline << false << 0 << false << "start"
                                                                 << "1"
                                                                 << "901";
    QTest::newRow("a day at most") << State::Offline << false << 10 << false << "start due"
                                   << "0 0"
                                   << "86400 day1";
    QTest::newRow("too large only: nothing to wait for") << State::Offline << false << 1 << true << "start"
                                                         << "0"
                                                         << "end1";
}

void tst_OnlineWaiter::schedule()
{
    QFETCH(State, initial);
    QFETCH(bool, serverUp);
    QFETCH(int, attemptsBefore);
    QFETCH(bool, tooLarge);
    QFETCH(QString, steps);
    QFETCH(QString, attempts);
    QFETCH(QString, wakes);

    TestHost host;
    const QDateTime start(QDate(2026, 12, 9), QTime(10, 0), Qt::UTC);
    QDateTime now = start;
    PendingStore store(host.info.dumpDir, [&now] { return now; });
    {
        const std::unique_ptr<PendingReport> report =
            store.create(host.info, QStringLiteral("kept"), QStringLiteral("bug@example.com"));
        QVERIFY(report);
        for (int i = 0; i < attemptsBefore; ++i)
            report->failed(QStringLiteral("could not connect to 127.0.0.1:9: connection refused"));
        report->update().tooLarge = tooLarge;
        QVERIFY(report->save());
    }
    NetworkWatch watch;
    watch.setState(initial);
    int tried = 0;
    // What PendingSender::sendDue does, without the mail: what is due (or everything) is tried.
    OnlineWaiter waiter(store, watch, [&](bool everyDue) {
        for (const PendingRecord& record : store.list()) {
            if (record.tooLarge || (!everyDue && !store.isDue(record)))
                continue;
            const std::unique_ptr<PendingReport> report = store.take(record.id);
            ++tried;
            if (serverUp)
                report->accepted();
            else
                report->failed(QStringLiteral("could not connect to 127.0.0.1:9: connection refused"));
        }
    });
    QSignalSpy finished(&waiter, &OnlineWaiter::sig_finished);

    const QStringList stepList = steps.split(QLatin1Char(' '));
    const QStringList attemptList = attempts.split(QLatin1Char(' '));
    const QStringList wakeList = wakes.split(QLatin1Char(' '));
    for (int i = 0; i < stepList.size(); ++i) {
        const QString& step = stepList.at(i);
        const int before = tried;
        if (step == QLatin1String("start")) {
            waiter.start();
        } else if (step == QLatin1String("due")) {
            QVERIFY(waiter.nextWake().isValid());
            now = waiter.nextWake();
            waiter.slot_wake();
        } else {
            watch.setState(step == QLatin1String("online")    ? State::Online
                           : step == QLatin1String("offline") ? State::Offline
                                                              : State::Unknown);
        }
        QVERIFY2(tried - before == attemptList.at(i).toInt(),
                 qPrintable(QStringLiteral("step %1: %2 attempts").arg(i + 1).arg(tried - before)));
        const QString& wake = wakeList.at(i);
        if (wake.startsWith(QLatin1String("end")) || wake.startsWith(QLatin1String("day"))) {
            QCOMPARE(finished.count(), 1);
            QCOMPARE(finished.first().first().toInt(), wake.mid(3).toInt());
            QCOMPARE(waiter.timedOut(), wake.startsWith(QLatin1String("day")));
            QVERIFY(waiter.findChild<QTimer*>(QStringLiteral("dueTimer"))->isActive() == false);
            break;
        }
        QCOMPARE(finished.count(), 0);
        QCOMPARE(start.secsTo(waiter.nextWake()), wake.toLongLong());
        // Asleep on one timer, set to that time: no polling.
        int active = 0;
        for (const QTimer* timer : waiter.findChildren<QTimer*>())
            active += timer->isActive() ? 1 : 0;
        QCOMPARE(active, 1);
        const QTimer* due = waiter.findChild<QTimer*>(QStringLiteral("dueTimer"));
        QVERIFY(due->interval() <= now.msecsTo(waiter.nextWake()) + 0);
        QVERIFY(due->interval() > 0);
    }
}

QTEST_GUILESS_MAIN(tst_OnlineWaiter)
#include "tst_onlinewaiter.moc"
