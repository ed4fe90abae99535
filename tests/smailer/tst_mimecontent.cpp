#include "smailer/appoctstrmcontent.h"
#include "smailer/base64helper.h"
#include "smailer/mailexception.h"
#include "smailer/textplaincontent.h"

#include "tests/tools/testhost.h"
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>


using namespace SMailer;


class tst_MimeContent : public QObject {
    Q_OBJECT
private slots:
    void base64_data();
    void base64();
    void attachmentLines_data();
    void attachmentLines();
    void attachmentMissingFile();
    void attachmentStreamsSameBytes_data();
    void attachmentStreamsSameBytes();
    void fileName_data();
    void fileName();
    void textPart();
};

void tst_MimeContent::base64_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    // RFC 4648 section 10, and bytes across the whole alphabet.
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("f") << QByteArray("f") << QByteArray("Zg==");
    QTest::newRow("fo") << QByteArray("fo") << QByteArray("Zm8=");
    QTest::newRow("foo") << QByteArray("foo") << QByteArray("Zm9v");
    QTest::newRow("foob") << QByteArray("foob") << QByteArray("Zm9vYg==");
    QTest::newRow("fooba") << QByteArray("fooba") << QByteArray("Zm9vYmE=");
    QTest::newRow("foobar") << QByteArray("foobar") << QByteArray("Zm9vYmFy");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("YWJj");
    QTest::newRow("high bytes") << QByteArray("\xff\xfe\xfd\x00\x01", 5) << QByteArray("//79AAE=");
    const QByteArray long100(100, 'x');
    QTest::newRow("long, no line break") << long100 << long100.toBase64();
}

void tst_MimeContent::base64()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const std::string encoded = Base64Helper::encode(input.toStdString());
    QCOMPARE(QByteArray::fromStdString(encoded), expected);
}

void tst_MimeContent::attachmentLines_data()
{
    QTest::addColumn<int>("size");
    for (int size : {1, 2, 3, 56, 57, 58, 114, 115, 57 * 10, 57 * 10 + 1, 57 * 4096 * 4 + 5})
        QTest::newRow(qPrintable(QString::number(size))) << size;
}

void tst_MimeContent::attachmentLines()
{
    QFETCH(int, size);
    QTemporaryDir dir;
    const QByteArray bytes = patternBytes(size);
    AppOctStrmContent part(writeFile(dir.filePath(QStringLiteral("report.rar")), bytes).toStdString());
    const QByteArray body = QByteArray::fromStdString(part.getContent());

    QVERIFY(body.endsWith('\n'));
    QVERIFY(!body.contains('\r'));
    const QList<QByteArray> lines = body.left(body.size() - 1).split('\n');
    QCOMPARE(lines.size(), (size + 56) / 57);
    for (int i = 0; i + 1 < lines.size(); ++i)
        QCOMPARE(lines.at(i).size(), 76);
    const int lastBytes = size - (lines.size() - 1) * 57;
    QCOMPARE(lines.last().size(), (lastBytes + 2) / 3 * 4);
    QCOMPARE(QByteArray::fromBase64(lines.join()), bytes);
    // Asked again, the file is read again: same body.
    QCOMPARE(QByteArray::fromStdString(part.getContent()), body);
}

void tst_MimeContent::attachmentMissingFile()
{
    QTemporaryDir dir;
    AppOctStrmContent missing(dir.filePath(QStringLiteral("nothing.rar")).toStdString());
    QVERIFY(missing.getContent().empty());
    AppOctStrmContent empty(writeFile(dir.filePath(QStringLiteral("empty.rar")), QByteArray()).toStdString());
    QVERIFY(empty.getContent().empty());
}

void tst_MimeContent::attachmentStreamsSameBytes_data()
{
    QTest::addColumn<int>("size");
    const int piece = static_cast<int>(AppOctStrmContent::kPieceBytes);
    for (int size : {0, 1, 57, piece - 1, piece, piece + 1, piece + 57, 2 * piece + 3})
        QTest::newRow(qPrintable(QString::number(size))) << size;
}

void tst_MimeContent::attachmentStreamsSameBytes()
{
    QFETCH(int, size);
    QTemporaryDir dir;
    AppOctStrmContent part(writeFile(dir.filePath(QStringLiteral("a.rar")), patternBytes(size)).toStdString());
    std::string streamed;
    int pieces = 0;
    part.writeContent([&](const char* data, std::size_t n) {
        streamed.append(data, n);
        ++pieces;
    });
    QCOMPARE(QByteArray::fromStdString(streamed), QByteArray::fromStdString(part.getContent()));
    // Never more than one piece's worth at a time.
    QVERIFY(pieces >= size / static_cast<int>(AppOctStrmContent::kPieceBytes));
}

void tst_MimeContent::fileName_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("drive and backslashes") << QStringLiteral("C:\\host\\dumps\\report.rar");
    QTest::newRow("drive and slashes") << QStringLiteral("d:/host/dumps/report.rar");
    QTest::newRow("mixed separators") << QStringLiteral("/opt/host\\dumps/report.rar");
    QTest::newRow("posix") << QStringLiteral("/opt/host/dumps/report.rar");
    QTest::newRow("bare") << QStringLiteral("report.rar");
    QTest::newRow("drive only") << QStringLiteral("C:report.rar");
}

void tst_MimeContent::fileName()
{
    QFETCH(QString, path);
    AppOctStrmContent part(path.toStdString());
    QCOMPARE(QString::fromStdString(part.getType()), QStringLiteral("application/octet-stream; name=report.rar"));
    QCOMPARE(QString::fromStdString(part.getDisposition()), QStringLiteral("attachment; filename=report.rar"));
    QCOMPARE(QString::fromStdString(part.getTransEncoding()), QStringLiteral("base64"));
}

void tst_MimeContent::textPart()
{
    TextPlainContent part("line one\nline two\r\n", "gb2312");
    QCOMPARE(QString::fromStdString(part.getType()), QStringLiteral("text/plain; charset=gb2312"));
    QVERIFY(part.getDisposition().empty());
    QCOMPARE(QString::fromStdString(part.getTransEncoding()), QStringLiteral("8bit"));
    QCOMPARE(QString::fromStdString(part.getContent()), QStringLiteral("line one\nline two\r\n"));
}

QTEST_GUILESS_MAIN(tst_MimeContent)
#include "tst_mimecontent.moc"
