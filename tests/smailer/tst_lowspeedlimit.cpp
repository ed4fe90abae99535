// The low-speed limit of an upload, with the clock moved by the test: never a sleep.

#include "smailer/lowspeedlimit.h"

#include <QtTest>

using MUtils::LowSpeedLimit;
using std::chrono::milliseconds;

namespace {

// A transfer's progress: bytes moved at a moment (ms after the start).
struct Move {
    int atMs;
    int bytes;
};

} // namespace

Q_DECLARE_METATYPE(QVector<Move>)

class tst_LowSpeedLimit : public QObject {
    Q_OBJECT
private slots:
    void progress_data();
    void progress();
    void offAllowsAnything();
    void nextCheckEndsThePeriod();
};

void tst_LowSpeedLimit::progress_data()
{
    // At least 1024 bytes a second over every 10 s; the last move's verdict.
    QTest::addColumn<QVector<Move>>("moves");
    QTest::addColumn<bool>("goesOn");
    QTest::newRow("within the first period nothing is judged") << QVector<Move>{{9999, 0}} << true;
    QTest::newRow("a whole period without a byte") << QVector<Move>{{10000, 0}} << false;
    QTest::newRow("just enough over the period") << QVector<Move>{{5000, 5120}, {10000, 5120}} << true;
    QTest::newRow("one byte short") << QVector<Move>{{5000, 5120}, {10000, 5119}} << false;
    QTest::newRow("the rate counts the whole time waited")
        << QVector<Move>{{5000, 10240}, {20000, 0}} << false; // 10240 bytes over 20 s
    QTest::newRow("a fast period does not pay for the next")
        << QVector<Move>{{10000, 1024 * 1024}, {20000, 100}} << false;
    QTest::newRow("a burst after a slow start saves the period")
        << QVector<Move>{{1000, 0}, {9000, 0}, {10000, 10240}} << true;
    QTest::newRow("steady uploads go on for long")
        << QVector<Move>{{10000, 20000}, {20000, 20000}, {30000, 20000}, {40000, 20000}, {50000, 20000}} << true;
}

void tst_LowSpeedLimit::progress()
{
    QFETCH(QVector<Move>, moves);
    QFETCH(bool, goesOn);
    const LowSpeedLimit::Clock::time_point start{std::chrono::hours(1000)};
    LowSpeedLimit limit;
    limit.start(1024, milliseconds(10000), start);
    bool last = true;
    for (int i = 0; i < moves.size(); ++i) {
        last = limit.progress(std::size_t(moves[i].bytes), start + milliseconds(moves[i].atMs));
        if (i + 1 < moves.size())
            QVERIFY2(last, qPrintable(QStringLiteral("ended early, at move %1").arg(i)));
    }
    QCOMPARE(last, goesOn);
}

void tst_LowSpeedLimit::offAllowsAnything()
{
    const LowSpeedLimit::Clock::time_point start{std::chrono::hours(1000)};
    LowSpeedLimit limit;
    QVERIFY(limit.progress(0, start + std::chrono::hours(1)));
    limit.start(1024, milliseconds(10000), start);
    limit.stop();
    QVERIFY(!limit.isOn());
    QVERIFY(limit.progress(0, start + std::chrono::hours(1)));
}

void tst_LowSpeedLimit::nextCheckEndsThePeriod()
{
    const LowSpeedLimit::Clock::time_point start{std::chrono::hours(1000)};
    LowSpeedLimit limit;
    const auto far = start + std::chrono::hours(1);
    QCOMPARE(limit.nextCheck(far), far); // off: only the deadline
    limit.start(1024, milliseconds(10000), start);
    QCOMPARE(limit.nextCheck(far), start + milliseconds(10000));
    QCOMPARE(limit.nextCheck(start + milliseconds(3000)), start + milliseconds(3000));
    // A period that was fast enough starts the next one where it was judged.
    QVERIFY(limit.progress(20000, start + milliseconds(12000)));
    QCOMPARE(limit.nextCheck(far), start + milliseconds(22000));
}

QTEST_GUILESS_MAIN(tst_LowSpeedLimit)
#include "tst_lowspeedlimit.moc"
