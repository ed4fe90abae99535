// At most so many reports mailed in any hour from one dumps folder, counted in pending/sent.log.

#include "dispatch/hourlylimit.h"
#include "tests/tools/testhost.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QDateTime kNow(QDate(2026, 12, 9), QTime(10, 0), Qt::UTC);

// The file's lines with "T" for now in seconds, "T-10" for ten seconds before.
QByteArray linesAt(QByteArray text, const QDateTime& now)
{
    const qint64 t = now.toSecsSinceEpoch();
    QByteArray out;
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        QByteArray field = line.left(line.indexOf(' '));
        if (field.startsWith('T'))
            field = QByteArray::number(t + field.mid(1).toLongLong());
        out += field + line.mid(line.indexOf(' ')) + '\n';
    }
    return out;
}

} // namespace

class tst_HourlyLimit : public QObject {
    Q_OBJECT
private slots:
    void reserve_data();
    void reserve();
    void release_data();
    void release();
    void freeAgainAnHourLater();
    void linkInsteadOfTheFile();
};

void tst_HourlyLimit::reserve_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("maxPerHour");
    QTest::addColumn<bool>("granted");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("no file yet") << QByteArray() << 1 << true << QByteArray("T a");
    QTest::newRow("the hour is full") << QByteArray("T-10 b\nT-20 c") << 2 << false << QByteArray("T-10 b\nT-20 c");
    QTest::newRow("the report has its slot already: its next mail")
        << QByteArray("T-10 a\nT-20 b") << 2 << true << QByteArray("T-10 a\nT-20 b");
    QTest::newRow("a slot an hour old is free again") << QByteArray("T-3600 b") << 1 << true << QByteArray("T a");
    QTest::newRow("a time ahead of now counts as now") << QByteArray("T+86400 b") << 1 << false << QByteArray("T b");
    QTest::newRow("lines of no such form are not counted")
        << QByteArray("junk\nT-10 b x\nT-5\n") << 1 << true << QByteArray("T a");
}

void tst_HourlyLimit::reserve()
{
    QFETCH(QByteArray, before);
    QFETCH(int, maxPerHour);
    QFETCH(bool, granted);
    QFETCH(QByteArray, after);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sent.log"));
    if (!before.isEmpty())
        QVERIFY(!writeFile(path, before.contains("junk") ? before : linesAt(before, kNow)).isEmpty());
    const HourlyLimit limit(path, [] { return kNow; });
    QCOMPARE(limit.reserve(QStringLiteral("a"), maxPerHour), granted);
    QCOMPARE(readFile(path), linesAt(after, kNow));
}

void tst_HourlyLimit::release_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("the slot is given back") << QByteArray("T-10 a\nT-20 b") << QByteArray("T-20 b");
    QTest::newRow("another report's slot stays") << QByteArray("T-20 b") << QByteArray("T-20 b");
}

void tst_HourlyLimit::release()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sent.log"));
    QVERIFY(!writeFile(path, linesAt(before, kNow)).isEmpty());
    HourlyLimit(path, [] { return kNow; }).release(QStringLiteral("a"));
    QCOMPARE(readFile(path), linesAt(after, kNow));
}

void tst_HourlyLimit::freeAgainAnHourLater()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sent.log"));
    QDateTime now = kNow;
    const HourlyLimit limit(path, [&now] { return now; });
    QVERIFY(limit.reserve(QStringLiteral("a"), 1));
    now = now.addSecs(3599);
    QVERIFY(!limit.reserve(QStringLiteral("b"), 1));
    now = now.addSecs(1);
    QVERIFY(limit.reserve(QStringLiteral("b"), 1));
    HourlyLimit(path, [&now] { return now; }).release(QStringLiteral("b"));
    QCOMPARE(readFile(path), QByteArray());
}

void tst_HourlyLimit::linkInsteadOfTheFile()
{
    // Never counted through a link: no limit rather than no reports, and the target is untouched.
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("elsewhere"));
    const QByteArray full = linesAt("T-10 b", kNow);
    QVERIFY(!writeFile(target, full).isEmpty());
    const QString path = dir.filePath(QStringLiteral("sent.log"));
    QVERIFY(QFile::link(target, path));
    QVERIFY(HourlyLimit(path, [] { return kNow; }).reserve(QStringLiteral("a"), 1));
    QCOMPARE(readFile(target), full);
}

QTEST_GUILESS_MAIN(tst_HourlyLimit)
#include "tst_hourlylimit.moc"
