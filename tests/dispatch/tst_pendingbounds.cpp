// What the pending store keeps, and when it tries a report again: decided from the records, the
// limits and the time alone, without a file, a server or a clock of the machine.

#include "dispatch/pendingbounds.h"
#include "dispatch/retrypolicy.h"

#include <QtTest>

namespace {

const QDateTime kNow(QDate(2026, 12, 9), QTime(10, 0), Qt::UTC);

// "r<i>" from "<age in days>[:<archive MiB>][flags]": u unreadable, t its notice kept the dump
// (too large), h held by another process. Oldest first, as the store lists them.
QList<PendingRecord> recordsOf(const QStringList& rows, QSet<QString>* held)
{
    QList<PendingRecord> records;
    for (int i = 0; i < rows.size(); ++i) {
        QString row = rows.at(i);
        PendingRecord record;
        record.id = QStringLiteral("r%1").arg(i);
        for (const QChar flag : {QLatin1Char('u'), QLatin1Char('t'), QLatin1Char('h')}) {
            if (!row.endsWith(flag))
                continue;
            row.chop(1);
            record.tooLarge = record.tooLarge || flag == QLatin1Char('t');
            if (flag == QLatin1Char('h'))
                held->insert(record.id);
        }
        const QStringList fields = row.split(QLatin1Char(':'));
        if (!rows.at(i).contains(QLatin1Char('u')))
            record.created = kNow.addDays(-fields.first().toInt());
        record.archiveSize = (fields.size() > 1 ? fields.at(1).toLongLong() : 1) * 1024 * 1024;
        records << record;
    }
    return records;
}

} // namespace

class tst_PendingBounds : public QObject {
    Q_OBJECT
private slots:
    void drops_data();
    void drops();
    void backoff_data();
    void backoff();
    void due_data();
    void due();
};

void tst_PendingBounds::drops_data()
{
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<int>("maxCount");
    QTest::addColumn<int>("maxMib");
    QTest::addColumn<QString>("kept");
    QTest::addColumn<QStringList>("drops");
    QTest::addColumn<QString>("keptOverSize");
    const QString none;
    QTest::newRow("within every bound") << QStringList{"10", "5", "1"} << 20 << 1024 << none << QStringList() << none;
    QTest::newRow("count: the oldest go")
        << QStringList{"4", "3", "2", "1"} << 2 << 1024 << none
        << QStringList{"r0: more than 2 pending reports", "r1: more than 2 pending reports"} << none;
    QTest::newRow("age") << QStringList{"31", "29", "1"} << 20 << 1024 << none << QStringList{"r0: older than 30 days"}
                         << none;
    QTest::newRow("created ahead of now: not old")
        << QStringList{"-100", "1"} << 20 << 1024 << none << QStringList() << none;
    QTest::newRow("total size: the oldest go until it fits")
        << QStringList{"3:600", "2:600", "1:600"} << 20 << 1024 << none
        << QStringList{"r0: pending archives over 1024 MiB", "r1: pending archives over 1024 MiB"} << none;
    QTest::newRow("the newest alone over the size bound")
        << QStringList{"1:2000"} << 20 << 1024 << none << QStringList() << "r0";
    QTest::newRow("the report just confirmed, though not the newest")
        << QStringList{"3", "2", "1"} << 1 << 1024 << "r0"
        << QStringList{"r1: more than 1 pending reports", "r2: more than 1 pending reports"} << none;
    QTest::newRow("an unreadable record is never the newest")
        << QStringList{"0u", "2", "1"} << 1 << 1024 << none
        << QStringList{"r0: its record cannot be read", "r1: more than 1 pending reports"} << none;
    QTest::newRow("an unreadable record always goes")
        << QStringList{"0u", "1"} << 20 << 1024 << none << QStringList{"r0: its record cannot be read"} << none;
    QTest::newRow("a dump kept by its notice: not by count")
        << QStringList{"3t", "2", "1"} << 1 << 1024 << none << QStringList{"r1: more than 1 pending reports"} << none;
    QTest::newRow("a dump kept by its notice: not by size")
        << QStringList{"3:2000t", "1:1"} << 20 << 1024 << none << QStringList() << "r1";
    QTest::newRow("a dump kept by its notice: by age")
        << QStringList{"31t", "1"} << 20 << 1024 << none << QStringList{"r0: older than 30 days"} << none;
    QTest::newRow("a held report still counts")
        << QStringList{"4h", "3", "2", "1"} << 2 << 1024 << none
        << QStringList{"r1: more than 2 pending reports", "r2: more than 2 pending reports"} << none;
}

void tst_PendingBounds::drops()
{
    QFETCH(QStringList, records);
    QFETCH(int, maxCount);
    QFETCH(int, maxMib);
    QFETCH(QString, kept);
    QFETCH(QStringList, drops);
    QFETCH(QString, keptOverSize);
    QSet<QString> held;
    const QList<PendingRecord> listed = recordsOf(records, &held);
    PendingLimits limits;
    limits.maxCount = maxCount;
    limits.maxDays = 30;
    limits.maxBytes = qint64(maxMib) * 1024 * 1024;
    QStringList got;
    for (const PendingDrop& drop : pendingDrops(listed, limits, kept, kNow, held))
        got << drop.id + QStringLiteral(": ") + drop.reason;
    QCOMPARE(got, drops);
    // What the store reports as kept over the size bound once the walk is done.
    PendingBounds bounds(listed, limits, kept, kNow);
    for (const PendingRecord& record : listed) {
        if (!bounds.reasonFor(record).isEmpty() && !held.contains(record.id))
            bounds.dropped(record);
    }
    QCOMPARE(bounds.keptOverSize(), keptOverSize);
}

void tst_PendingBounds::backoff_data()
{
    QTest::addColumn<int>("attempts");
    QTest::addColumn<qint64>("seconds");
    QTest::newRow("never tried") << 0 << qint64(0);
    QTest::newRow("1 failure: 15 minutes") << 1 << qint64(15 * 60);
    QTest::newRow("2 failures: 30 minutes") << 2 << qint64(30 * 60);
    QTest::newRow("7 failures: 16 hours") << 7 << qint64(16 * 3600);
    QTest::newRow("8 failures: at most a day") << 8 << qint64(24 * 3600);
    QTest::newRow("a counter past any doubling") << 1000000 << qint64(24 * 3600);
}

void tst_PendingBounds::backoff()
{
    QFETCH(int, attempts);
    QFETCH(qint64, seconds);
    QCOMPARE(backoffSeconds(attempts), seconds);
}

void tst_PendingBounds::due_data()
{
    QTest::addColumn<int>("attempts");
    QTest::addColumn<int>("secondsSince"); // before now; negative: ahead of now
    QTest::addColumn<bool>("due");
    QTest::newRow("never tried") << 0 << 0 << true;
    QTest::newRow("tried, but no time recorded") << 3 << INT_MIN << true;
    QTest::newRow("1 failure, a second short") << 1 << 15 * 60 - 1 << false;
    QTest::newRow("1 failure, 15 minutes") << 1 << 15 * 60 << true;
    QTest::newRow("last attempt ahead of now: not due yet") << 1 << -7 * 24 * 3600 << false;
    QTest::newRow("20 failures, a day") << 20 << 24 * 3600 << true;
}

void tst_PendingBounds::due()
{
    QFETCH(int, attempts);
    QFETCH(int, secondsSince);
    QFETCH(bool, due);
    PendingRecord record;
    record.attempts = attempts;
    if (secondsSince != INT_MIN)
        record.lastAttempt = kNow.addSecs(-secondsSince);
    QCOMPARE(isDue(record, kNow), due);
}

QTEST_GUILESS_MAIN(tst_PendingBounds)
#include "tst_pendingbounds.moc"
