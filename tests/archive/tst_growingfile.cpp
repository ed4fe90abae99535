#include "archive/growingfile.h"
#include "smailer/appoctstrmcontent.h"
#include "smailer/mailexception.h"

#include "tests/tools/testhost.h"
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <thread>

#include <fcntl.h>

using namespace SMailer;

class tst_GrowingFile : public QObject {
    Q_OBJECT
private slots:
    void growingAttachment_data();
    void growingAttachment();
    void stalledWriter_data();
    void stalledWriter();
};

void tst_GrowingFile::growingAttachment_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("step");
    QTest::addColumn<bool>("complete");
    const int piece = static_cast<int>(AppOctStrmContent::kPieceBytes);
    QTest::newRow("uneven steps, several pieces") << 2 * piece + 77 << 1001 << true;
    QTest::newRow("one write") << 57 * 3 << 57 * 3 << true;
    QTest::newRow("nothing") << 0 << 1 << true;
    QTest::newRow("ends failed") << piece + 5 << 4096 << false;
}

// An attachment read while another thread writes it: whole lines as the bytes come, the whole file
// once it ends complete, and an error (never a shorter body) when it ends failed.
void tst_GrowingFile::growingAttachment()
{
    QFETCH(int, size);
    QFETCH(int, step);
    QFETCH(bool, complete);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.rar"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    auto growing = std::make_shared<GrowingFile>(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    const QByteArray bytes = randomBytes(size);
    std::thread writer([&] {
        for (int done = 0; done < size; done += step) {
            out.write(bytes.mid(done, step));
            out.flush();
            growing->grew(static_cast<std::uint64_t>(qMin(size, done + step)));
        }
        growing->end(complete);
    });
    AppOctStrmContent part(growing, static_cast<std::uint64_t>(size) * 2 + 100, "a.rar");
    std::string body;
    bool failed = false;
    try {
        part.writeContent([&](const char* data, std::size_t n) { body.append(data, n); });
    } catch (const MailException&) {
        failed = true;
    }
    writer.join();
    QCOMPARE(failed, !complete);
    if (!complete)
        return;
    const QList<QByteArray> lines = QByteArray::fromStdString(body).split('\n');
    for (int i = 0; i + 2 < lines.size(); ++i)
        QCOMPARE(lines.at(i).size(), 76);
    QCOMPARE(QByteArray::fromBase64(lines.join()), bytes);
}

void tst_GrowingFile::stalledWriter_data()
{
    QTest::addColumn<int>("written");
    QTest::addColumn<int>("want");
    QTest::addColumn<QString>("reason");
    QTest::newRow("nothing written yet") << 0 << 57 << QStringLiteral("the report archive was not made in time");
    QTest::newRow("less than a piece") << 56 << 57 << QStringLiteral("the report archive was not made in time");
    QTest::newRow("a whole piece is there") << 57 << 57 << QString();
}

// A writer that gets no further (a dump on a hung network file system) ends the read at its
// deadline with a reason, instead of holding the mail open for ever. The deadline has passed
// before the read starts, so no row waits.
void tst_GrowingFile::stalledWriter()
{
    QFETCH(int, written);
    QFETCH(int, want);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.zip"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    const QByteArray bytes = randomBytes(written);
    QCOMPARE(out.write(bytes), qint64(written));
    QVERIFY(out.flush());
    GrowingFile growing(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    growing.grew(static_cast<std::uint64_t>(written));
    QByteArray piece(want, '\0');
    QString failure;
    try {
        const std::size_t got = growing.read(0, reinterpret_cast<unsigned char*>(piece.data()),
                                             static_cast<std::size_t>(want), ByteSource::Deadline());
        QCOMPARE(got, static_cast<std::size_t>(want));
        QCOMPARE(piece, bytes.left(want));
    } catch (const MailException& e) {
        failure = QString::fromStdString(e.reason());
    }
    QCOMPARE(failure, reason);
}

QTEST_GUILESS_MAIN(tst_GrowingFile)
#include "tst_growingfile.moc"
