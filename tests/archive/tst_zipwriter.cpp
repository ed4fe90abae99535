#include "tests/tools/archivecheck.h"
#include "archive/zipstream.h"
#include "archive/zipwriter.h"

#include "tests/tools/testhost.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <string>

#include <sys/stat.h>

namespace {

std::wstring w(const QString& text)
{
    return text.toStdWString();
}


} // namespace

class tst_ZipWriter : public QObject {
    Q_OBJECT
private slots:
    void entriesReadBack_data();
    void entriesReadBack();
    void missingSourceKeepsOthers();
    void nonAsciiNamesAndPaths();
    void cannotCreate();
    void replacesExistingArchive();
    void blocksAsSmallAsOneStream();
};

void tst_ZipWriter::entriesReadBack_data()
{
    QTest::addColumn<QByteArray>("dump");
    QTest::addColumn<QString>("entry");
    QTest::newRow("incompressible") << randomBytes(700 * 1024) << QStringLiteral("a_b.dmp");
    QTest::newRow("compressible") << patternBytes(3 * 1024 * 1024 + 5) << QStringLiteral("a_b.dmp");
    QTest::newRow("0 bytes") << QByteArray() << QStringLiteral("a_b.dmp");
    // Deflated in blocks on several threads: a last block that is empty, one that is short.
    QTest::newRow("blocks, whole") << patternBytes(4 * 512 * 1024) << QStringLiteral("a_b.dmp");
    QTest::newRow("blocks, mixed") << randomBytes(1536 * 1024) + patternBytes(1536 * 1024 + 77) << QStringLiteral("a_b.dmp");
    QTest::newRow("name outside ASCII") << patternBytes(1000) << QStringLiteral("崩溃😀_b.dmp");
}

void tst_ZipWriter::entriesReadBack()
{
    QFETCH(QByteArray, dump);
    QFETCH(QString, entry);
    QTemporaryDir dir;
    const QString dumpPath = writeFile(dir.filePath(QStringLiteral("x.dmp")), dump);
    const QString logPath = writeFile(dir.filePath(QStringLiteral("app_b.log")), "line 1\nline 2\n");
    const QString archive = dir.filePath(QStringLiteral("a_b.rar"));

    HZIP zip = CreateZip(w(archive).c_str(), nullptr);
    QVERIFY(zip);
    QCOMPARE(ZipAdd(zip, w(entry).c_str(), w(dumpPath).c_str()), ZR_OK);
    QCOMPARE(ZipAdd(zip, L"app_b.log", w(logPath).c_str()), ZR_OK);
    QVERIFY(!QFile::exists(archive)); // written only when complete
    QCOMPARE(CloseZipZ(zip), ZR_OK);

    const ArchiveCheck check = ArchiveCheck::of(archive);
    QVERIFY2(check.allReadersOk(), qPrintable(QStringLiteral("zipfile %1 unzip %2 7z %3 bsdtar %4")
                                                  .arg(check.readable).arg(check.unzipOk).arg(check.sevenZipOk)
                                                  .arg(check.bsdtarOk)));
    QCOMPARE(check.names(), (QStringList{entry, QStringLiteral("app_b.log")}));
    QCOMPARE(check.entries.at(0).sha256, ArchiveCheck::sha256Of(dumpPath));
    QCOMPARE(check.entries.at(1).sha256, ArchiveCheck::sha256Of(logPath));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 3); // no temporary file left
    // The bound a mail announces before the archive is made.
    const quint64 bound = ZipStreamWriter::entryBound(static_cast<std::size_t>(entry.toUtf8().size()), static_cast<std::uint64_t>(dump.size())) +
                          ZipStreamWriter::entryBound(9, 14) + ZipStreamWriter::kEndBound;
    QVERIFY(static_cast<quint64>(QFileInfo(archive).size()) <= bound);
}

void tst_ZipWriter::missingSourceKeepsOthers()
{
    QTemporaryDir dir;
    const QString dumpPath = writeFile(dir.filePath(QStringLiteral("x.dmp")), "dump");
    const QString archive = dir.filePath(QStringLiteral("r.zip"));
    HZIP zip = CreateZip(w(archive).c_str(), nullptr);
    QVERIFY(zip);
    QCOMPARE(ZipAdd(zip, L"x.dmp", w(dumpPath).c_str()), ZR_OK);
    QCOMPARE(ZipAdd(zip, L"gone.log", w(dir.filePath(QStringLiteral("gone.log"))).c_str()), ZR_NOTFOUND);
    QCOMPARE(ZipAdd(zip, L"dir.log", w(dir.path()).c_str()), ZR_NOTFOUND);
    // A FIFO posing as a log would block a reader for ever.
    const QString fifo = dir.filePath(QStringLiteral("fifo.log"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(ZipAdd(zip, L"fifo.log", w(fifo).c_str()), ZR_NOTFOUND);
    QCOMPARE(CloseZipZ(zip), ZR_OK);
    const ArchiveCheck check = ArchiveCheck::of(archive);
    QVERIFY(check.readable && check.unzipOk);
    QCOMPARE(check.names(), QStringList{QStringLiteral("x.dmp")});
}

void tst_ZipWriter::nonAsciiNamesAndPaths()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("崩溃目录/dumps")));
    const QString source = writeFile(dir.filePath(QStringLiteral("崩溃目录/dumps/转储.dmp")), "bytes");
    const QString archive = dir.filePath(QStringLiteral("崩溃目录/dumps/报告_1.rar"));
    HZIP zip = CreateZip(w(archive).c_str(), nullptr);
    QVERIFY(zip);
    QCOMPARE(ZipAdd(zip, L"报告_1.dmp", w(source).c_str()), ZR_OK);
    QCOMPARE(CloseZipZ(zip), ZR_OK);
    const ArchiveCheck check = ArchiveCheck::of(archive);
    QVERIFY(check.readable && check.unzipOk);
    QCOMPARE(check.names(), QStringList{QStringLiteral("报告_1.dmp")});
}

void tst_ZipWriter::cannotCreate()
{
    QTemporaryDir dir;
    const QString source = writeFile(dir.filePath(QStringLiteral("x.dmp")), "bytes");
    // The archive's path is a directory.
    const QString asDir = dir.filePath(QStringLiteral("a.rar"));
    QVERIFY(QDir().mkdir(asDir));
    QVERIFY(!CreateZip(w(asDir).c_str(), nullptr));
    QCOMPARE(ZipAdd(nullptr, L"x.dmp", w(source).c_str()), ZR_ARGS);
    QCOMPARE(CloseZipZ(nullptr), ZR_ARGS);
    // The folder vanishes before the archive is completed.
    QVERIFY(QDir().mkdir(dir.filePath(QStringLiteral("sub"))));
    const QString inSub = dir.filePath(QStringLiteral("sub/a.rar"));
    HZIP zip = CreateZip(w(inSub).c_str(), nullptr);
    QVERIFY(zip);
    QCOMPARE(ZipAdd(zip, L"x.dmp", w(source).c_str()), ZR_OK);
    QVERIFY(QDir(dir.filePath(QStringLiteral("sub"))).removeRecursively());
    QCOMPARE(CloseZipZ(zip), ZR_WRITE);
    // Abandoned archives write nothing.
    const QString abandoned = dir.filePath(QStringLiteral("b.rar"));
    zip = CreateZip(w(abandoned).c_str(), nullptr);
    QVERIFY(zip);
    QCOMPARE(ZipAdd(zip, L"x.dmp", w(source).c_str()), ZR_OK);
    DiscardZip(zip);
    QVERIFY(!QFile::exists(abandoned));
}

void tst_ZipWriter::replacesExistingArchive()
{
    QTemporaryDir dir;
    const QString archive = writeFile(dir.filePath(QStringLiteral("a_b.rar")), "an old, broken archive");
    const QString source = writeFile(dir.filePath(QStringLiteral("x.dmp")), "new dump");
    HZIP zip = CreateZip(w(archive).c_str(), nullptr);
    QVERIFY(zip);
    QCOMPARE(ZipAdd(zip, L"a_b.dmp", w(source).c_str()), ZR_OK);
    QCOMPARE(CloseZipZ(zip), ZR_OK);
    const ArchiveCheck check = ArchiveCheck::of(archive);
    QVERIFY(check.readable && check.unzipOk);
    QCOMPARE(check.names(), QStringList{QStringLiteral("a_b.dmp")});
}

// The threads' blocks make the same data as one stream, and hardly more bytes: random data is
// stored, but data that only looks random in a short sample (a random run repeated a little
// further on) is deflated as one stream would.
void tst_ZipWriter::blocksAsSmallAsOneStream()
{
    QTemporaryDir dir;
    const QByteArray data =
        randomBytes(3 * 1024 * 1024) + patternBytes(5 * 1024 * 1024) + randomBytes(20 * 1024, 7).repeated(150);
    const QString source = writeFile(dir.filePath(QStringLiteral("x.dmp")), data);
    qint64 sizes[2] = {};
    for (const unsigned threads : {1u, 3u}) {
        const QString archive = dir.filePath(QStringLiteral("t%1.zip").arg(threads));
        QFile out(archive);
        QVERIFY(out.open(QIODevice::WriteOnly));
        ZipStreamWriter writer([&out](const char* bytes, std::size_t size) {
            return out.write(bytes, static_cast<qint64>(size)) == static_cast<qint64>(size);
        }, 6, threads);
        QFile in(source);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QVERIFY(writer.addFile("x.dmp", in.handle(), static_cast<std::uint64_t>(data.size()), 0));
        QVERIFY(writer.finish());
        out.close();
        const ArchiveCheck check = ArchiveCheck::of(archive);
        QVERIFY(check.allReadersOk());
        QCOMPARE(check.entries.at(0).sha256, ArchiveCheck::sha256Of(source));
        sizes[threads == 1 ? 0 : 1] = QFileInfo(archive).size();
    }
    QVERIFY2(sizes[1] <= sizes[0] + sizes[0] / 100, qPrintable(QStringLiteral("%1 vs %2").arg(sizes[1]).arg(sizes[0])));
}

QTEST_GUILESS_MAIN(tst_ZipWriter)
#include "tst_zipwriter.moc"
