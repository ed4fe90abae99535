// The pending record on disk: what an earlier crashui wrote is read as it was meant, and what is
// written now is still read by it.

#include "dispatch/pendingrecord.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

// A record as the crashui before numbered formats wrote it, byte for byte.
const char kBeforeFormats[] = R"({
    "archiveSha256": "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
    "archiveSize": "2048",
    "attempts": 2,
    "created": "2026-12-09T10:00:00.000Z",
    "description": "It crashed\n\nlogs: 2 addresses replaced",
    "dumpDevice": "2049",
    "dumpFile": "/home/u/app/dumps/a_b.dmp",
    "dumpInode": "18446744073709551557",
    "dumpMtimeNs": "1765274400123456789",
    "dumpName": "a_b",
    "dumpSize": "4096",
    "dumpWhole": true,
    "lastAttempt": "2026-12-09T10:30:00.000Z",
    "lastError": "could not connect to mail.example.com",
    "logFiles": [
        "/home/u/app/log/a.log"
    ],
    "messageId": "<crashui.1765274400000.abcdefgh12345678@example.com>",
    "packing": false,
    "partsAccepted": [
        1
    ],
    "partsTotal": 3,
    "pieceBytes": "700",
    "sizeLimit": "1000",
    "tooLarge": false
}
)";

QJsonObject json(const QByteArray& text)
{
    return QJsonDocument::fromJson(text).object();
}

} // namespace

class tst_PendingRecord : public QObject {
    Q_OBJECT
private slots:
    void beforeFormats();
    void readable_data();
    void readable();
};

void tst_PendingRecord::beforeFormats()
{
    PendingRecord record;
    QVERIFY(PendingRecord::fromJson(json(kBeforeFormats), record));
    QCOMPARE(record.dumpName, QStringLiteral("a_b"));
    QCOMPARE(record.dumpFile, QStringLiteral("/home/u/app/dumps/a_b.dmp"));
    QVERIFY(record.dump.valid);
    QCOMPARE(record.dump.device, quint64(2049));
    QCOMPARE(record.dump.inode, quint64(18446744073709551557ull)); // past a JSON number's precision
    QCOMPARE(record.dump.size, qint64(4096));
    QCOMPARE(record.dump.mtimeNs, qint64(1765274400123456789ll));
    QVERIFY(record.dumpWhole);
    QCOMPARE(record.created, QDateTime(QDate(2026, 12, 9), QTime(10, 0), Qt::UTC));
    QCOMPARE(record.attempts, 2);
    QCOMPARE(record.lastAttempt, QDateTime(QDate(2026, 12, 9), QTime(10, 30), Qt::UTC));
    QCOMPARE(record.archiveSize, qint64(2048));
    QCOMPARE(record.logFiles, QStringList{"/home/u/app/log/a.log"});
    QCOMPARE(record.partsTotal, 3);
    QCOMPARE(record.partsAccepted, QList<int>{1});
    QCOMPARE(record.pieceBytes, qint64(700));
    QCOMPARE(record.sizeLimit, qint64(1000));
    QCOMPARE(record.messageId, QStringLiteral("<crashui.1765274400000.abcdefgh12345678@example.com>"));
    // Written again, every field an earlier crashui reads is as it was; only the format is added.
    QJsonObject expected = json(kBeforeFormats);
    expected.insert(QStringLiteral("format"), PendingRecord::kFormat);
    QCOMPARE(record.toJson(), expected);
    QJsonObject written = record.toJson();
    written.remove(QStringLiteral("format"));
    QCOMPARE(QJsonDocument(written).toJson(QJsonDocument::Indented), QByteArray(kBeforeFormats));
}

void tst_PendingRecord::readable_data()
{
    QTest::addColumn<QByteArray>("change"); // "key=JSON value", or "-key" to leave it out
    QTest::addColumn<bool>("readable");
    QTest::newRow("as written now") << QByteArray("format=2") << true;
    QTest::newRow("a later format: read by the fields known here") << QByteArray("format=3") << true;
    QTest::newRow("a format that is no number") << QByteArray("format=\"two\"") << false;
    QTest::newRow("a format below 1") << QByteArray("format=0") << false;
    QTest::newRow("no creation time") << QByteArray("-created") << false;
    QTest::newRow("no archive size") << QByteArray("-archiveSize") << false;
    QTest::newRow("a checksum that is not one") << QByteArray("archiveSha256=\"../x\"") << false;
    QTest::newRow("negative attempts") << QByteArray("attempts=-1") << false;
}

void tst_PendingRecord::readable()
{
    QFETCH(QByteArray, change);
    QFETCH(bool, readable);
    QJsonObject object = json(kBeforeFormats);
    if (change.startsWith('-')) {
        object.remove(QString::fromLatin1(change.mid(1)));
    } else {
        const int equals = change.indexOf('=');
        const QJsonValue value = json("{\"v\":" + change.mid(equals + 1) + "}").value(QStringLiteral("v"));
        object.insert(QString::fromLatin1(change.left(equals)), value);
    }
    PendingRecord record;
    QCOMPARE(PendingRecord::fromJson(object, record), readable);
}

QTEST_GUILESS_MAIN(tst_PendingRecord)
#include "tst_pendingrecord.moc"
