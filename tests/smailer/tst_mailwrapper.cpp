#include "smailer/appoctstrmcontent.h"
#include "smailer/mailconstants.h"
#include "smailer/mailinfo.h"
#include "smailer/mailwrapper.h"
#include "smailer/textplaincontent.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

using namespace SMailer;

namespace {
// 2026-12-08 09:05:01 UTC, a Tuesday.
// Tue, 08 Dec 2026 01:05:01 UTC, which reads 09:05:01 at UTC+8.
constexpr std::time_t kFixedTime = 1796691901;
} // namespace

class tst_MailWrapper : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void encodedWords_data();
    void encodedWords();
    void fromAndToLines_data();
    void fromAndToLines();
    void setReceiverTwice();
    void dateIgnoresZone_data();
    void dateIgnoresZone();
    void noContents();
    void singlePartWithTwoContents();
    void streamedPartEqualsWholePart();
};

void tst_MailWrapper::initTestCase()
{
    qputenv("TZ", "UTC");
    tzset();
}

void tst_MailWrapper::encodedWords_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("plain");
    QTest::newRow("digits, dash, colon, space") << QByteArray("2026-12-08 09:05:01") << true;
    QTest::newRow("0x20 and 0x40 edges") << QByteArray(" @!?") << true;
    QTest::newRow("0x1f below") << QByteArray("12\x1f") << false;
    QTest::newRow("0x41 letter A") << QByteArray("12A") << false;
    QTest::newRow("one letter") << QByteArray("bug report : 1") << false;
    QTest::newRow("high byte") << QByteArray("\xd6\xd0") << false;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("letters after NUL do not count") << QByteArray("12\0ab", 5) << true;
}

void tst_MailWrapper::encodedWords()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, plain);
    MailInfo info("gb2312");
    info.setSubject(value.toStdString());
    const QByteArray stored = QByteArray::fromStdString(info.getSubject());
    if (plain)
        QCOMPARE(stored, value);
    else
        QCOMPARE(stored, "=?gb2312?B?" + value.toBase64() + "?=");
}

void tst_MailWrapper::fromAndToLines_data()
{
    QTest::addColumn<QByteArray>("senderName");
    QTest::addColumn<QByteArray>("receiverName");
    QTest::addColumn<bool>("withReceiver");
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::newRow("names") << QByteArray("abc") << QByteArray("tova_bug") << true
                           << QByteArray("From: \"=?gb2312?B?YWJj?=\" <me@example.com>\r\n")
                           << QByteArray("To: \"=?gb2312?B?dG92YV9idWc=?=\" <you@example.com>\r\n");
    QTest::newRow("plain names") << QByteArray("123") << QByteArray("@@") << true
                                 << QByteArray("From: \"123\" <me@example.com>\r\n")
                                 << QByteArray("To: \"@@\" <you@example.com>\r\n");
    QTest::newRow("no names") << QByteArray() << QByteArray() << true << QByteArray("From: <me@example.com>\r\n")
                              << QByteArray("To: <you@example.com>\r\n");
    QTest::newRow("no receivers") << QByteArray() << QByteArray() << false
                                  << QByteArray("From: <me@example.com>\r\n") << QByteArray("To: \r\n");
}

void tst_MailWrapper::fromAndToLines()
{
    QFETCH(QByteArray, senderName);
    QFETCH(QByteArray, receiverName);
    QFETCH(bool, withReceiver);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    MailInfo info("gb2312");
    info.setSenderName(senderName.toStdString());
    info.setSenderAddress("me@example.com");
    if (withReceiver)
        info.setReceiver(receiverName.toStdString(), "you@example.com");
    MailWrapper wrapper(&info, 1);
    const QByteArray header = QByteArray::fromStdString(wrapper.getHeader());
    QVERIFY2(header.startsWith(from + to), header.constData());
}

void tst_MailWrapper::setReceiverTwice()
{
    MailInfo info("gb2312");
    info.setReceiver("first", "first@example.com");
    info.setReceiver("second", "second@example.com");
    MailWrapper wrapper(&info, 1);
    QStringList addresses;
    wrapper.traverseReceiver();
    while (wrapper.hasMoreReceiver())
        addresses << QString::fromStdString(wrapper.nextReceiverAddress());
    QCOMPARE(addresses, QStringList{QStringLiteral("<second@example.com>")});
}

void tst_MailWrapper::dateIgnoresZone_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<qint64>("instant");
    QTest::addColumn<QByteArray>("line");
    // The line states the instant at UTC+8, whatever the local zone.
    for (const char* zone : {"UTC", "Asia/Tokyo", "America/New_York", "Asia/Shanghai"})
        QTest::newRow(zone) << QByteArray(zone) << qint64(kFixedTime) << QByteArray("Tue, 08 Dec 2026 09:05:01 +0800");
    QTest::newRow("next day at UTC+8") << QByteArray("UTC") << qint64(kFixedTime + 15 * 3600 + 25 * 60)
                                       << QByteArray("Wed, 09 Dec 2026 00:30:01 +0800");
}

void tst_MailWrapper::dateIgnoresZone()
{
    QFETCH(QByteArray, zone);
    QFETCH(qint64, instant);
    QFETCH(QByteArray, line);
    MailInfo info("gb2312");
    MailWrapper wrapper(&info, 1);
    wrapper.setClock([instant] { return static_cast<std::time_t>(instant); });
    qputenv("TZ", zone);
    tzset();
    const QByteArray header = QByteArray::fromStdString(wrapper.getHeader());
    qputenv("TZ", "UTC");
    tzset();
    QVERIFY2(header.contains("\r\nDate: " + line + "\r\n"), header.constData());
}

void tst_MailWrapper::noContents()
{
    MailInfo info("gb2312");
    MailWrapper wrapper(&info, 0);
    const QByteArray header = QByteArray::fromStdString(wrapper.getHeader());
    QVERIFY(header.endsWith("Content-type: multipart/mixed; boundary=\"#BOUNDARY#\"\r\n\r\n"));
    QCOMPARE(wrapper.isMultipart(), 1);
    wrapper.traverseContent();
    QVERIFY(!wrapper.hasMoreContent());
    QCOMPARE(QByteArray::fromStdString(wrapper.getEnd()), QByteArray("\r\n--#BOUNDARY#--\r\n.\r\n"));
}

void tst_MailWrapper::singlePartWithTwoContents()
{
    TextPlainContent first("first body", "gb2312");
    TextPlainContent second("second body", "utf-8");
    MailInfo info("gb2312");
    info.addMimeContent(&first);
    info.addMimeContent(&second);
    MailWrapper wrapper(&info, 0);
    const QByteArray header = QByteArray::fromStdString(wrapper.getHeader());
    QVERIFY(header.endsWith("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=gb2312\r\n"
                            "Content-Transfer-Encoding: 8bit\r\n\r\n"));
    QVERIFY(!header.contains("Content-Disposition"));
    QCOMPARE(wrapper.isMultipart(), 0);
    QCOMPARE(QByteArray::fromStdString(wrapper.getSinglePartBody()), QByteArray("first body"));
    QCOMPARE(QByteArray::fromStdString(wrapper.getEnd()), QByteArray("\r\n.\r\n"));
}

void tst_MailWrapper::streamedPartEqualsWholePart()
{
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("big.rar"));
    QFile file(archive);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(static_cast<int>(AppOctStrmContent::kPieceBytes) * 2 + 100, '\x7f'));
    file.close();
    AppOctStrmContent attachment(archive.toStdString());
    MailInfo info("gb2312");
    info.addMimeContent(&attachment);
    MailWrapper whole(&info, 1);
    MailWrapper streamed(&info, 1);
    whole.traverseContent();
    streamed.traverseContent();
    std::string pieces;
    streamed.nextPartTo([&](const char* data, std::size_t n) { pieces.append(data, n); });
    QCOMPARE(QByteArray::fromStdString(pieces), QByteArray::fromStdString(whole.nextPart()));
}

QTEST_GUILESS_MAIN(tst_MailWrapper)
#include "tst_mailwrapper.moc"
