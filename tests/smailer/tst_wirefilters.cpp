#include "smailer/datafilter.h"
#include "smailer/replyreader.h"

#include <QtTest>

using namespace SMailer;

class tst_WireFilters : public QObject {
    Q_OBJECT
private slots:
    void dataFilter_data();
    void dataFilter();
    void dataFilterAnySplit();
    void replyReader_data();
    void replyReader();
    void replyReaderKeepsNextReply();
    void replyReaderCap();
};

void tst_WireFilters::dataFilter_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("CRLF stays") << QByteArray("a\r\nb\r\n") << QByteArray("a\r\nb\r\n");
    QTest::newRow("bare LF") << QByteArray("a\nb\n") << QByteArray("a\r\nb\r\n");
    QTest::newRow("bare CR") << QByteArray("a\rb\r") << QByteArray("a\r\nb\r\n");
    QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << QByteArray("a\r\n\r\nb\r\n");
    QTest::newRow("LF CR") << QByteArray("a\n\rb") << QByteArray("a\r\n\r\nb\r\n");
    QTest::newRow("lone dot line") << QByteArray("x\n.\ny") << QByteArray("x\r\n..\r\ny\r\n");
    QTest::newRow("dot at start") << QByteArray(".hidden\r\n") << QByteArray("..hidden\r\n");
    QTest::newRow("double dot") << QByteArray("..x\n") << QByteArray("...x\r\n");
    QTest::newRow("dot inside line") << QByteArray("a.b\n") << QByteArray("a.b\r\n");
    QTest::newRow("dot after bare CR") << QByteArray("a\r.\r") << QByteArray("a\r\n..\r\n");
    QTest::newRow("injected mail") << QByteArray("hi\r\n.\r\nMAIL FROM:<x@y>\r\n")
                                   << QByteArray("hi\r\n..\r\nMAIL FROM:<x@y>\r\n");
    QTest::newRow("unfinished line ended") << QByteArray("tail") << QByteArray("tail\r\n");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("NUL kept") << QByteArray("a\0b\n", 4) << QByteArray("a\0b\r\n", 5);
    // Found by the fuzzer (a fault of its checker, kept as a case): CR then one byte.
    QTest::newRow("CR then one byte") << QByteArray("\r\xea") << QByteArray("\r\n\xea\r\n");
    QTest::newRow("one byte") << QByteArray("\xea") << QByteArray("\xea\r\n");
}

void tst_WireFilters::dataFilter()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, wire);
    DataFilter filter;
    std::string out;
    filter.feed(input.constData(), static_cast<std::size_t>(input.size()), out);
    filter.finish(out);
    QCOMPARE(QByteArray::fromStdString(out), wire);
}

void tst_WireFilters::dataFilterAnySplit()
{
    const QByteArray input("a\r\n.\r\n..\rb\n\r\n.x\r");
    DataFilter whole;
    std::string expected;
    whole.feed(input.constData(), static_cast<std::size_t>(input.size()), expected);
    whole.finish(expected);
    for (int cut = 0; cut <= input.size(); ++cut) {
        DataFilter split;
        std::string out;
        split.feed(input.constData(), static_cast<std::size_t>(cut), out);
        split.feed(input.constData() + cut, static_cast<std::size_t>(input.size() - cut), out);
        split.finish(out);
        QCOMPARE(QByteArray::fromStdString(out), QByteArray::fromStdString(expected));
    }
}

void tst_WireFilters::replyReader_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("one line") << QByteArray("250 ok\r\n") << true << QByteArray("250");
    QTest::newRow("code only") << QByteArray("221\r\n") << true << QByteArray("221");
    QTest::newRow("LF only") << QByteArray("354 go\n") << true << QByteArray("354");
    QTest::newRow("multi-line") << QByteArray("250-a\r\n250-b\r\n250 c\r\n") << true << QByteArray("250");
    QTest::newRow("last line decides") << QByteArray("250-a\r\n550 no\r\n") << true << QByteArray("550");
    QTest::newRow("unfinished multi-line") << QByteArray("250-a\r\n250-b\r\n") << false << QByteArray();
    QTest::newRow("no line end yet") << QByteArray("250 ok") << false << QByteArray();
    QTest::newRow("short garbage") << QByteArray("2\r\n") << true << QByteArray("2");
    QTest::newRow("empty line") << QByteArray("\r\n") << true << QByteArray();
    QTest::newRow("NUL inside") << QByteArray("25\0 x\r\n", 7) << true << QByteArray("25\0", 3);
}

void tst_WireFilters::replyReader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, complete);
    QFETCH(QByteArray, code);
    // Fed one byte at a time: segments may split a reply anywhere.
    ReplyReader reader;
    ReplyReader::Reply reply;
    bool done = false;
    for (char c : bytes) {
        QVERIFY(!done);
        reader.feed(&c, 1);
        done = reader.next(reply);
    }
    QCOMPARE(done, complete);
    if (complete)
        QCOMPARE(QByteArray::fromStdString(reply.code), code);
}

void tst_WireFilters::replyReaderKeepsNextReply()
{
    ReplyReader reader;
    const QByteArray bytes("250-x\r\n250 y\r\n334 VXNlcm5hbWU6\r\n");
    reader.feed(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    ReplyReader::Reply reply;
    QVERIFY(reader.next(reply));
    QCOMPARE(QByteArray::fromStdString(reply.text), QByteArray("250-x\r\n250 y\r\n"));
    QVERIFY(reader.next(reply));
    QCOMPARE(QByteArray::fromStdString(reply.code), QByteArray("334"));
    QVERIFY(!reader.next(reply));
}

void tst_WireFilters::replyReaderCap()
{
    ReplyReader reader;
    const std::string line = "250-" + std::string(500, 'x') + "\r\n";
    while (reader.pending() < ReplyReader::kMaxReplySize)
        reader.feed(line.data(), line.size());
    ReplyReader::Reply reply;
    QVERIFY(!reader.next(reply));
    QVERIFY(reader.overflowed());

    ReplyReader noLineEnd;
    const std::string blob(ReplyReader::kMaxReplySize + 1, 'y');
    noLineEnd.feed(blob.data(), blob.size());
    QVERIFY(!noLineEnd.next(reply));
    QVERIFY(noLineEnd.overflowed());

    ReplyReader fits;
    const std::string big = std::string(1000, 'z') + "\r\n250 ok\r\n";
    fits.feed(big.data(), big.size());
    QVERIFY(!fits.overflowed());
}

QTEST_GUILESS_MAIN(tst_WireFilters)
#include "tst_wirefilters.moc"
