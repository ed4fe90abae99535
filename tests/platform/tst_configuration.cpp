#include "platform/configuration.h"

#include "tests/tools/testhost.h"
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

std::string utf8(const QString& path)
{
    return path.toUtf8().toStdString();
}

} // namespace

class tst_Configuration : public QObject {
    Q_OBJECT
private slots:
    void reads_data();
    void reads();
    void roundTripNonAsciiPath();
    void saveKeepsOtherKeys();
    void saveReplacesAtomically();
    void unusablePaths();
};

void tst_Configuration::reads_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("isSend");
    QTest::addColumn<int>("isRestart");
    QTest::newRow("no file") << QByteArray() << 1 << 1;
    QTest::newRow("isSend 0 only") << QByteArray("[user]\nisSend=0\n") << 0 << 1;
    QTest::newRow("isSend 2") << QByteArray("[user]\r\nisSend=2\r\nisRestart=0\r\n") << 2 << 0;
    QTest::newRow("spaces") << QByteArray("[ user ]\n isSend = 0 \n") << 0 << 1;
    QTest::newRow("other section") << QByteArray("[other]\nisSend=0\n") << 1 << 1;
    QTest::newRow("not a number") << QByteArray("[user]\nisSend=yes\n") << 1 << 1;
    QTest::newRow("binary garbage") << QByteArray("\x00\xff[\x01=\n\xfe\xfe=\x00\n", 10) << 1 << 1;
}

void tst_Configuration::reads()
{
    QFETCH(QByteArray, content);
    QFETCH(int, isSend);
    QFETCH(int, isRestart);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("crashui.ini"));
    if (!content.isEmpty())
        QVERIFY(!writeFile(path, content).isEmpty());
    utils::Configuration config(std::string(), true);
    QCOMPARE(config.load(utf8(path)), !content.isEmpty());
    QCOMPARE(config.readInt("user", "isSend", 1), isSend);
    QCOMPARE(config.readInt("user", "isRestart", 1), isRestart);
}

void tst_Configuration::roundTripNonAsciiPath()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("崩溃目录/dumps")));
    const QString path = dir.filePath(QStringLiteral("崩溃目录/dumps/crashui.ini"));
    {
        utils::Configuration config(std::string(), true);
        config.load(utf8(path));
        config.write("user", "isRestart", 0);
        config.write("user", "isSend", 1);
        QVERIFY(config.save());
    }
    QVERIFY(QFile::exists(path));
    utils::Configuration again(std::string(), true);
    QVERIFY(again.load(utf8(path)));
    QCOMPARE(again.readInt("user", "isRestart", 1), 0);
    QCOMPARE(again.readInt("user", "isSend", 0), 1);
    QVERIFY(readFile(path).contains("isRestart=0"));
}

void tst_Configuration::saveKeepsOtherKeys()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("crashui.ini"));
    QVERIFY(!writeFile(path, "[window]\nx=5\n[user]\nisSend=1\nlast=abc\n").isEmpty());
    utils::Configuration config(std::string(), true);
    config.load(utf8(path));
    config.write("user", "isSend", 0);
    QVERIFY(config.save());
    utils::Configuration again(std::string(), true);
    again.load(utf8(path));
    QCOMPARE(again.readInt("window", "x", 0), 5);
    QCOMPARE(again.readInt("user", "isSend", 1), 0);
    QVERIFY(readFile(path).contains("last=abc"));
}

void tst_Configuration::saveReplacesAtomically()
{
    // A save writes a new file and renames it over the old one: a second name of the old file
    // still shows the old content, never a half-written one.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("crashui.ini"));
    const QString link = dir.filePath(QStringLiteral("old-name.ini"));
    QVERIFY(!writeFile(path, "[user]\nisSend=1\n").isEmpty());
    QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()), 0);
    utils::Configuration config(std::string(), true);
    config.load(utf8(path));
    config.write("user", "isSend", 0);
    QVERIFY(config.save());
    QCOMPARE(readFile(link), QByteArray("[user]\nisSend=1\n"));
    QVERIFY(readFile(path).contains("isSend=0"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2); // no temporary file left behind
}

void tst_Configuration::unusablePaths()
{
    QTemporaryDir dir;
    // A directory where the file should be: nothing read, nothing written, the directory intact.
    const QString asDir = dir.filePath(QStringLiteral("crashui.ini"));
    QVERIFY(QDir().mkdir(asDir));
    utils::Configuration config(std::string(), true);
    QVERIFY(!config.load(utf8(asDir)));
    QCOMPARE(config.readInt("user", "isSend", 1), 1);
    config.write("user", "isSend", 0);
    QVERIFY(!config.save());
    QVERIFY(QFileInfo(asDir).isDir());
    // A folder that does not exist.
    utils::Configuration missing(std::string(), true);
    QVERIFY(!missing.load(utf8(dir.filePath(QStringLiteral("no/such/crashui.ini")))));
    missing.write("user", "isSend", 0);
    QVERIFY(!missing.save());
    // Never loaded: no path to save to.
    utils::Configuration unloaded(std::string(), true);
    QVERIFY(!unloaded.save());
}

QTEST_GUILESS_MAIN(tst_Configuration)
#include "tst_configuration.moc"
