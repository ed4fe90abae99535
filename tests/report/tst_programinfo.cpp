// What the program says about itself without a display (--help, --version), and what its binary
// does not say: the compiled-in password.

#include "report/deploymentvalue.h"
#include "tests/tools/testhost.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

class tst_ProgramInfo : public QObject {
    Q_OBJECT
private slots:
    void withoutDisplay_data();
    void withoutDisplay();
    void passwordNotInBinary();
};

void tst_ProgramInfo::withoutDisplay_data()
{
    QTest::addColumn<QByteArray>("binary"); // the environment variable naming the build
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QStringList>("lines"); // regular expressions, each matching a line of the output

    const QStringList usage{
        QStringLiteral("^Usage: crashui ROOT_DIR DUMP_NAME \\[APP_PATH \\[APP_ARGS\\.\\.\\.\\]\\]$"),
        QStringLiteral("^       crashui --send-pending \\[--when-online\\] ROOT_DIR$"),
        QStringLiteral("^  --version  +show the version and exit$"),
        QStringLiteral("^configuration file /.+, then from the values compiled in\\.$")};
    QTest::newRow("--help") << QByteArray("CRASHUI_PROGRAM") << "--help" << usage;
    QTest::newRow("--version") << QByteArray("CRASHUI_PROGRAM") << "--version"
                               << QStringList{QStringLiteral("^crashui [0-9]+(\\.[0-9]+)+$")};
    // The tests' locked build names its own file and says that it is locked.
    QTest::newRow("--help of a locked build")
        << QByteArray("CRASHUI_LOCKED_BINARY") << "--help"
        << QStringList{QStringLiteral("^configuration file %1, then from the values compiled in\\.$")
                           .arg(QRegularExpression::escape(QString::fromLocal8Bit(qgetenv("CRASHUI_LOCKED_CONFIG")))),
                       QStringLiteral("^In this build the environment cannot change the mail server, the login, the "
                                      "password,$")};
}

void tst_ProgramInfo::withoutDisplay()
{
    QFETCH(QByteArray, binary);
    QFETCH(QString, argument);
    QFETCH(QStringList, lines);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QString::fromLocal8Bit(qgetenv(binary.constData())), {argument});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardError(), QByteArray());
    const QStringList output = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString& line : lines)
        QVERIFY2(!output.filter(QRegularExpression(line)).isEmpty(), qPrintable(line));
}

void tst_ProgramInfo::passwordNotInBinary()
{
    // Found by a vendor: `strings crashui` showed the mailbox's password.
    const QByteArray password = compiledInPassword();
    QVERIFY(password.size() >= 4);
    const QByteArray program = readFile(QString::fromLocal8Bit(qgetenv("CRASHUI_PROGRAM")));
    QVERIFY(program.size() > 100000);
    QVERIFY(!program.contains(password));
}

QTEST_GUILESS_MAIN(tst_ProgramInfo)
#include "tst_programinfo.moc"
