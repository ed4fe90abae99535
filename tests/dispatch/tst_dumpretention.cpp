// Dumps the user declined or cancelled: bounded as pending reports are, oldest first.

#include "dispatch/dumpretention.h"
#include "dispatch/pendingstore.h"
#include "tests/tools/testhost.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class tst_DumpRetention : public QObject {
    Q_OBJECT
private slots:
    void bounds_data();
    void bounds();
    void linkLeftAlone();
};

void tst_DumpRetention::bounds_data()
{
    // Dumps d0, d1 ... in the dumps folder, d0 the oldest; ages in days before now (the clock
    // stands still), sizes in KiB. "held" names the dump a pending report holds.
    QTest::addColumn<QList<int>>("ages");
    QTest::addColumn<int>("sizeKib");
    QTest::addColumn<QByteArray>("maxCount");
    QTest::addColumn<QByteArray>("maxMib");
    QTest::addColumn<int>("held");
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<QString>("reason");
    const QList<int> three{40, 20, 10};
    // 147 GiB of declined dumps were reported: nothing ever removed them.
    QTest::newRow("past 30 days") << three << 1 << QByteArray("20") << QByteArray("1024") << -1
                                  << QStringList{"d1.dmp", "d2.dmp"} << "older than 30 days";
    QTest::newRow("within every bound") << QList<int>{20, 10} << 1 << QByteArray("20") << QByteArray("1024") << -1
                                        << QStringList{"d0.dmp", "d1.dmp"} << "";
    QTest::newRow("count") << QList<int>{5, 4, 3, 2, 1} << 1 << QByteArray("2") << QByteArray("1024") << -1
                           << QStringList{"d2.dmp", "d3.dmp", "d4.dmp"} << "more than 2 dumps kept without a report";
    // 600 KiB each: the three beside the newest make 1.8 MiB, the two oldest go.
    QTest::newRow("size") << QList<int>{3, 2, 1, 0} << 600 << QByteArray("20") << QByteArray("1") << -1
                          << QStringList{"d2.dmp", "d3.dmp"} << "dumps kept without a report over 1 MiB";
    QTest::newRow("held by a pending report")
        << three << 1 << QByteArray("20") << QByteArray("1024") << 0 << QStringList{"d0.dmp", "d1.dmp", "d2.dmp"} << "";
    QTest::newRow("the newest never") << QList<int>{40} << 1 << QByteArray("20") << QByteArray("1024") << -1
                                      << QStringList{"d0.dmp"} << "";
    QTest::newRow("invalid limit") << three << 1 << QByteArray("none") << QByteArray("1024") << -1
                                   << QStringList{"d0.dmp", "d1.dmp", "d2.dmp"} << "";
}

void tst_DumpRetention::bounds()
{
    QFETCH(QList<int>, ages);
    QFETCH(int, sizeKib);
    QFETCH(QByteArray, maxCount);
    QFETCH(QByteArray, maxMib);
    QFETCH(int, held);
    QFETCH(QStringList, left);
    QFETCH(QString, reason);
    TestHost host(QStringLiteral("a_b"), QByteArray());
    QFile::remove(host.info.dumpFile);
    const QDateTime now = QDateTime::currentDateTimeUtc().addSecs(3600); // every dump over a minute old
    PendingStore store(host.info.dumpDir, [now] { return now; });
    for (int i = 0; i < ages.size(); ++i) {
        const QString path =
            writeFile(host.info.dumpDir + QStringLiteral("/d%1.dmp").arg(i), randomBytes(sizeKib * 1024, i));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(now.addDays(-ages.at(i)).addSecs(-i), QFileDevice::FileModificationTime));
        if (i == held) {
            ParamInfo crash = host.info;
            crash.dumpFile = path;
            QVERIFY(store.create(crash, QString(), QStringLiteral("bug@example.com")));
        }
    }
    ScopedEnv env("CRASHUI_PENDING_MAX_COUNT", maxCount);
    env.set("CRASHUI_PENDING_MAX_MIB", maxMib);
    const QStringList removed =
        DumpRetention::prune(store, host.info.dumpDir, QString(), PendingStore::Limits::current());
    QCOMPARE(QDir(host.info.dumpDir).entryList({QStringLiteral("*.dmp")}, QDir::Files, QDir::Name), left);
    QCOMPARE(removed.size(), ages.size() - left.size());
    const QByteArray log = readFile(host.info.dumpDir + QStringLiteral("/pending.log"));
    for (const QString& line : removed) {
        QVERIFY2(line.endsWith(reason), qPrintable(line));
        QVERIFY2(log.contains(line.section(QLatin1Char(':'), 0, 0).toUtf8()), log.constData());
    }
}

// An old dump name that is a link to a file elsewhere: neither the link nor what it names is
// crashui's to remove.
void tst_DumpRetention::linkLeftAlone()
{
    TestHost host(QStringLiteral("a_b"), QByteArray());
    QFile::remove(host.info.dumpFile);
    const QDateTime now = QDateTime::currentDateTimeUtc().addSecs(3600);
    PendingStore store(host.info.dumpDir, [now] { return now; });
    const QString foreign = writeFile(host.base.filePath(QStringLiteral("private.key")), randomBytes(1024, 1));
    QFile file(foreign);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(now.addDays(-40), QFileDevice::FileModificationTime));
    QVERIFY(QFile::link(foreign, host.info.dumpDir + QStringLiteral("/old.dmp")));
    writeFile(host.info.dumpDir + QStringLiteral("/new.dmp"), randomBytes(1024, 2));
    const QStringList removed =
        DumpRetention::prune(store, host.info.dumpDir, QString(), PendingStore::Limits::current());
    QCOMPARE(removed, QStringList());
    QVERIFY(QFileInfo(host.info.dumpDir + QStringLiteral("/old.dmp")).isSymLink());
    QVERIFY(QFile::exists(foreign));
}

QTEST_MAIN(tst_DumpRetention)
#include "tst_dumpretention.moc"
