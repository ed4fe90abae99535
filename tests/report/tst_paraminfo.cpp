#include "platform/codecs.h"
#include "report/crashfiles.h"
#include "report/paraminfo.h"

#include "tests/tools/testhost.h"
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Files made one after another get strictly increasing creation times.
void touchInOrder(const QString& dir, const QStringList& names)
{
    for (const QString& name : names) {
        writeFile(dir + QLatin1Char('/') + name, "x");
        QThread::msleep(15);
    }
}

QString fileName(const QString& path)
{
    return path.section(QLatin1Char('/'), -1);
}

} // namespace

class tst_ParamInfo : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void newestDump_data();
    void newestDump();
    void equalCreationTimes();
    void logFiles_data();
    void logFiles();
    void missingDirectories();
    void nonAsciiRootAfterCodecInstall();
};

void tst_ParamInfo::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("logTag");
    QTest::addColumn<QString>("dumpDir");
    QTest::addColumn<QString>("appPath");
    QTest::addColumn<QStringList>("appArgs");
    const QString exe = QStringLiteral("crashui");
    QTest::newRow("a_b_c") << QStringList{exe, "/r", "a_b_c", "/bin/app"} << "c" << "/r/dumps" << "/bin/app" << QStringList{};
    QTest::newRow("abc") << QStringList{exe, "/r", "abc", "/bin/app"} << "abc" << "/r/dumps" << "/bin/app" << QStringList{};
    QTest::newRow("abc_") << QStringList{exe, "/r", "abc_", "/bin/app"} << "" << "/r/dumps" << "/bin/app" << QStringList{};
    QTest::newRow("root ends in slash") << QStringList{exe, "/r/", "x_1", "/bin/app"} << "1" << "/r//dumps" << "/bin/app"
                                        << QStringList{};
    QTest::newRow("two arguments") << QStringList{exe, "/r", "x_1"} << "1" << "/r/dumps" << "" << QStringList{};
    QTest::newRow("five and more") << QStringList{exe, "/r", "x_1", "/bin/app", "Title", "--flag", "value with space"}
                                   << "1" << "/r/dumps" << "/bin/app"
                                   << QStringList{"Title", "--flag", "value with space"};
}

void tst_ParamInfo::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, logTag);
    QFETCH(QString, dumpDir);
    QFETCH(QString, appPath);
    QFETCH(QStringList, appArgs);
    ParamInfo info;
    info.parseArguments(arguments);
    QCOMPARE(info.rootDir, arguments.at(1));
    QCOMPARE(info.dumpName, arguments.at(2));
    QCOMPARE(info.logTag, logTag);
    QCOMPARE(info.dumpDir, dumpDir);
    QCOMPARE(info.appPath, appPath);
    QCOMPARE(info.appArgs, appArgs);
    QVERIFY(info.dumpFile.isEmpty());
    QVERIFY(info.logFiles.isEmpty());
}

void tst_ParamInfo::newestDump_data()
{
    QTest::addColumn<QStringList>("creationOrder");
    QTest::addColumn<QString>("expected");
    QTest::newRow("later name is newer") << QStringList{"a.dmp", "b.dmp"} << "b.dmp";
    QTest::newRow("earlier name is newer") << QStringList{"b.dmp", "a.dmp"} << "a.dmp";
    QTest::newRow("suffix rules") << QStringList{"crash.x.dmp", "crash.DMP", "crash.dmp.bak", "crash.dmpx"} << "crash.x.dmp";
    QTest::newRow("no dump") << QStringList{"crash.DMP", "notes.txt"} << "";
    QTest::newRow("hidden-looking name") << QStringList{"old.dmp", ".dmp"} << "old.dmp";
}

void tst_ParamInfo::newestDump()
{
    QFETCH(QStringList, creationOrder);
    QFETCH(QString, expected);
    QTemporaryDir root;
    const QString dumps = root.filePath(QStringLiteral("dumps"));
    QVERIFY(QDir().mkdir(dumps));
    touchInOrder(dumps, creationOrder);
    QVERIFY(QDir().mkdir(dumps + QStringLiteral("/zzz.dmp"))); // a directory is never a dump
    const QString found = findNewestDump(dumps);
    QCOMPARE(fileName(found), expected);
    if (!expected.isEmpty())
        QCOMPARE(found, dumps + QLatin1Char('/') + expected);
}

void tst_ParamInfo::equalCreationTimes()
{
    // Two names of one file have the very same times: the first by name, letters compared
    // without case, stays.
    QTemporaryDir root;
    const QString dumps = root.filePath(QStringLiteral("dumps"));
    QVERIFY(QDir().mkdir(dumps));
    QVERIFY(!writeFile(dumps + QStringLiteral("/B.dmp"), "x").isEmpty());
    QCOMPARE(::link(QFile::encodeName(dumps + QStringLiteral("/B.dmp")).constData(),
                    QFile::encodeName(dumps + QStringLiteral("/a.dmp")).constData()),
             0);
    QCOMPARE(fileName(findNewestDump(dumps)), QStringLiteral("a.dmp"));
}

void tst_ParamInfo::logFiles_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("1234") << QStringList{"app_1234.log", "app_1234.log.1", "app_1234.LOG", "app_12345.log", "app1234.log"}
                          << "1234" << QStringList{"app_1234.log", "app_1234.log.1"};
    QTest::newRow("name order without case") << QStringList{"svc_7.log", "B_7.log", "a_7.log"} << "7"
                                             << QStringList{"a_7.log", "B_7.log", "svc_7.log"};
    QTest::newRow("empty tag") << QStringList{"app_.log"} << "" << QStringList{};
}

void tst_ParamInfo::logFiles()
{
    QFETCH(QStringList, files);
    QFETCH(QString, tag);
    QFETCH(QStringList, expected);
    QTemporaryDir root;
    const QString logDir = root.filePath(QStringLiteral("log"));
    QVERIFY(QDir().mkdir(logDir));
    touchInOrder(logDir, files);
    QVERIFY(QDir().mkdir(logDir + QStringLiteral("/dir_") + tag + QStringLiteral(".log")));
    QStringList want;
    for (const QString& name : expected)
        want << logDir + QLatin1Char('/') + name;
    QCOMPARE(findLogFiles(logDir, tag), want);
}

void tst_ParamInfo::missingDirectories()
{
    QTemporaryDir root;
    QVERIFY(findNewestDump(root.filePath(QStringLiteral("dumps"))).isEmpty());
    QVERIFY(findNewestDump(QString()).isEmpty());
    QVERIFY(findLogFiles(root.filePath(QStringLiteral("log")), QStringLiteral("1")).isEmpty());
    // The dump is still found without a log directory.
    QVERIFY(QDir().mkdir(root.filePath(QStringLiteral("dumps"))));
    QVERIFY(!writeFile(root.filePath(QStringLiteral("dumps/x.dmp")), "x").isEmpty());
    ParamInfo info;
    info.parseArguments({QStringLiteral("crashui"), root.path(), QStringLiteral("a_1"), QStringLiteral("/bin/true")});
    QCOMPARE(info.dumpFile, root.path() + QStringLiteral("/dumps/x.dmp"));
    QVERIFY(info.logFiles.isEmpty());
}

void tst_ParamInfo::nonAsciiRootAfterCodecInstall()
{
    // Start-up installs the GB18030 codec; file names must still use the system's encoding. The
    // files are made the way the host makes them: UTF-8 bytes straight to the system.
    Lumo::installCodec(Lumo::getCodecs());
    QTemporaryDir base;
    const QString root = base.filePath(QStringLiteral("崩溃目录"));
    for (const QString& dir : {root, root + QStringLiteral("/dumps"), root + QStringLiteral("/log")})
        QCOMPARE(::mkdir(dir.toUtf8().constData(), 0755), 0);
    for (const QString& file : {root + QStringLiteral("/dumps/转储.dmp"), root + QStringLiteral("/log/日志_9.log")}) {
        const int fd = ::creat(file.toUtf8().constData(), 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
    }
    ParamInfo info;
    info.parseArguments({QStringLiteral("crashui"), root, QStringLiteral("报告_9"), QStringLiteral("/bin/true")});
    QCOMPARE(info.dumpFile, root + QStringLiteral("/dumps/转储.dmp"));
    QCOMPARE(info.logFiles, QStringList{root + QStringLiteral("/log/日志_9.log")});
    QVERIFY(QFile::exists(info.dumpFile));
}

QTEST_GUILESS_MAIN(tst_ParamInfo)
#include "tst_paraminfo.moc"
