// Where the deployment values come from: environment, configuration file, compiled in; the lock
// of a build against the environment; files that are refused and why; bad values named by file
// and line.

#include "dispatch/smtpsettings.h"
#include "report/deploymentconfig.h"
#include "tests/tools/testhost.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kCompiled[] = "compiled.example";

// The configuration file of a row in a folder of its own: a plain file, a symbolic link to one, or
// a plain file in a folder that anyone may write to.
struct ConfigFile {
    QTemporaryDir dir;
    QString path;

    ConfigFile(const QByteArray& content, int mode = 0640, const QString& kind = QStringLiteral("file"))
    {
        QString folder = dir.path();
        if (kind == QLatin1String("open folder")) {
            folder += QStringLiteral("/open");
            QDir().mkpath(folder);
            ::chmod(QFile::encodeName(folder).constData(), 0777);
        }
        path = folder + QStringLiteral("/crashui.conf");
        if (kind == QLatin1String("folder"))
            QDir().mkpath(path);
        if (content.isNull() || kind == QLatin1String("folder"))
            return;
        const QString target = kind == QLatin1String("link") ? dir.filePath(QStringLiteral("real.conf")) : path;
        writeFile(target, content);
        ::chmod(QFile::encodeName(target).constData(), static_cast<mode_t>(mode));
        if (kind == QLatin1String("link"))
            QFile::link(target, path);
    }
};

} // namespace

class tst_DeploymentConfig : public QObject {
    Q_OBJECT
private slots:
    void precedence_data();
    void precedence();
    void refusedFiles_data();
    void refusedFiles();
    void badValuesNameFileAndLine_data();
    void badValuesNameFileAndLine();
};

void tst_DeploymentConfig::precedence_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("environment"); // null: unset
    QTest::addColumn<QByteArray>("file");        // null: no file
    QTest::addColumn<bool>("overrides");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("line"); // the file's line the value came from; 0: not from the file

    const QString host = QStringLiteral("CRASHUI_SMTP_HOST");
    const QByteArray fileHost = "CRASHUI_SMTP_HOST = file.example\n";
    QTest::newRow("environment over file")
        << host << QByteArray("env.example") << fileHost << true << "env.example" << 0;
    QTest::newRow("file over compiled-in") << host << QByteArray() << fileHost << true << "file.example" << 1;
    QTest::newRow("compiled-in, no file") << host << QByteArray() << QByteArray() << true << kCompiled << 0;
    QTest::newRow("empty variable is none") << host << QByteArray("") << fileHost << true << "file.example" << 1;
    QTest::newRow("empty file value is none")
        << host << QByteArray() << QByteArray("CRASHUI_SMTP_HOST =\n") << true << kCompiled << 0;
    QTest::newRow("quotes keep blanks") << QStringLiteral("CRASHUI_SMTP_PASSWORD") << QByteArray()
                                        << QByteArray("CRASHUI_SMTP_PASSWORD = \" two words \"\n") << true
                                        << " two words " << 1;
    QTest::newRow("comments, section, CRLF") << host << QByteArray()
                                             << QByteArray("# crashui\r\n; mail\r\n[crashui]\r\n\r\n"
                                                           "  CRASHUI_SMTP_HOST=file.example  \r\n")
                                             << true << "file.example" << 5;
    QTest::newRow("locked: file over environment")
        << host << QByteArray("env.example") << fileHost << false << "file.example" << 1;
    // A locked build: a user's environment cannot redirect the report or its login.
    for (const char* key :
         {"CRASHUI_SMTP_HOST", "CRASHUI_SMTP_PORT", "CRASHUI_SMTP_SECURITY", "CRASHUI_SMTP_CAFILE", "CRASHUI_SMTP_AUTH",
          "CRASHUI_SMTP_USER", "CRASHUI_SMTP_PASSWORD", "CRASHUI_MAILBOX", "CRASHUI_MAIL_FROM", "CRASHUI_MAIL_TO"})
        QTest::newRow(qPrintable(QStringLiteral("locked: %1 not from the environment").arg(QLatin1String(key))))
            << QString::fromLatin1(key) << QByteArray("attacker") << QByteArray() << false << kCompiled << 0;
    for (const char* key : {"CRASHUI_SMTP_TIMEOUT", "CRASHUI_PENDING_MAX_COUNT", "CRASHUI_RESTART_AFTER"})
        QTest::newRow(qPrintable(QStringLiteral("locked: %1 still from the environment").arg(QLatin1String(key))))
            << QString::fromLatin1(key) << QByteArray("7") << QByteArray() << false << "7" << 0;
}

void tst_DeploymentConfig::precedence()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, environment);
    QFETCH(QByteArray, file);
    QFETCH(bool, overrides);
    QFETCH(QString, expected);
    QFETCH(int, line);
    const QByteArray name = key.toLatin1();
    ScopedEnv env;
    if (environment.isNull())
        env.unset(name.constData());
    else
        env.set(name.constData(), environment);
    const ConfigFile config(file);
    const DeploymentConfig deployment(config.path, overrides);
    QVERIFY2(deployment.error().isEmpty(), qPrintable(deployment.error()));
    const DeploymentConfig::Value value = deployment.lookup(name.constData(), kCompiled);
    QCOMPARE(value.text, expected);
    QCOMPARE(value.origin, line > 0 ? QStringLiteral("%1, line %2").arg(config.path).arg(line) : QString());
}

void tst_DeploymentConfig::refusedFiles_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("kind");  // file, link, open folder
    QTest::addColumn<QString>("error"); // FILE stands for the file's path; empty: accepted

    const QByteArray password = "CRASHUI_SMTP_PASSWORD = s3cret.Pw\n";
    QTest::newRow("unknown key") << QByteArray("CRASHUI_SMTP_HOST = a\nCRASHUI_SMTP_HOTS = b\n") << 0640 << "file"
                                 << "FILE, line 2: unknown key CRASHUI_SMTP_HOTS";
    // The line is not quoted back: it may be the password typed without its key.
    QTest::newRow("a line without a key") << QByteArray("\ns3cret.Pw\n") << 0640 << "file"
                                          << "FILE, line 2: not a KEY = value line";
    QTest::newRow("another section") << QByteArray("[mail]\nCRASHUI_SMTP_HOST = a\n") << 0640 << "file"
                                     << "FILE, line 1: not a KEY = value line";
    QTest::newRow("key given twice") << QByteArray("CRASHUI_SMTP_PORT = 25\n\nCRASHUI_SMTP_PORT = 26\n") << 0640
                                     << "file"
                                     << "FILE, line 3: CRASHUI_SMTP_PORT is given twice (first at FILE, line 1)";
    QTest::newRow("password, writable by others") << password << 0646 << "file"
                                                  << "FILE, line 1: CRASHUI_SMTP_PASSWORD is not used: the file is "
                                                     "writable by others";
    QTest::newRow("password, symbolic link") << password << 0640 << "link"
                                             << "FILE, line 1: CRASHUI_SMTP_PASSWORD is not used: the file is a "
                                                "symbolic link";
    QTest::newRow("password, folder writable by others")
        << password << 0640 << "open folder"
        << "FILE, line 1: CRASHUI_SMTP_PASSWORD is not used: its folder is writable by others";
    // Whoever can change the server can have the compiled-in password sent to it.
    QTest::newRow("server, writable by others")
        << QByteArray("CRASHUI_SMTP_TIMEOUT = 5\nCRASHUI_SMTP_HOST = x\n") << 0666 << "file"
        << "FILE, line 2: CRASHUI_SMTP_HOST is not used: the file is writable "
           "by others";
    QTest::newRow("a folder in its place") << QByteArray("") << 0755 << "folder"
                                           << "cannot read FILE: not a regular file";
    QTest::newRow("password, 0640") << password << 0640 << "file"
                                    << "";
    QTest::newRow("password, group-writable") << password << 0660 << "file"
                                              << "";
    QTest::newRow("time-out, writable by others") << QByteArray("CRASHUI_SMTP_TIMEOUT = 5\n") << 0666 << "file"
                                                  << "";
    QTest::newRow("time-out, symbolic link") << QByteArray("CRASHUI_SMTP_TIMEOUT = 5\n") << 0644 << "link"
                                             << "";
}

void tst_DeploymentConfig::refusedFiles()
{
    QFETCH(QByteArray, file);
    QFETCH(int, mode);
    QFETCH(QString, kind);
    QFETCH(QString, error);
    ScopedEnv env;
    env.unset("CRASHUI_SMTP_PASSWORD").unset("CRASHUI_SMTP_HOST");
    const ConfigFile config(file, mode, kind);
    const DeploymentConfig deployment(config.path, true);
    QCOMPARE(deployment.error(), QString(error).replace(QStringLiteral("FILE"), config.path));
    QVERIFY(!deployment.error().contains(QStringLiteral("s3cret")));
    // A refused file gives nothing at all; nothing is sent.
    const SmtpSettings settings = SmtpSettings::from(deployment);
    QCOMPARE(settings.error.isEmpty(), error.isEmpty());
    if (!error.isEmpty())
        QCOMPARE(deployment.lookup("CRASHUI_SMTP_PASSWORD", kCompiled).text, QString::fromLatin1(kCompiled));
}

void tst_DeploymentConfig::badValuesNameFileAndLine_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error"); // FILE stands for the file's path
    QTest::newRow("port") << QByteArray("# ports\nCRASHUI_SMTP_PORT = 99999\n")
                          << "invalid CRASHUI_SMTP_PORT: \"99999\" (FILE, line 2)";
    QTest::newRow("time-out") << QByteArray("CRASHUI_SMTP_TIMEOUT = soon\n")
                              << "invalid CRASHUI_SMTP_TIMEOUT: \"soon\" (FILE, line 1)";
    QTest::newRow("security") << QByteArray("CRASHUI_SMTP_SECURITY = ssl\n")
                              << "invalid CRASHUI_SMTP_SECURITY: \"ssl\" (FILE, line 1)";
    QTest::newRow("auth") << QByteArray("CRASHUI_SMTP_AUTH = cram-md5\n")
                          << "invalid CRASHUI_SMTP_AUTH: \"cram-md5\" (FILE, line 1)";
    QTest::newRow("receiver") << QByteArray("CRASHUI_MAIL_TO = crashes at example.org\n")
                              << "invalid CRASHUI_MAIL_TO: \"crashes at example.org\" (FILE, line 1)";
    QTest::newRow("sender with a second address") << QByteArray("CRASHUI_MAIL_FROM = a@b.org>, <c@d.org\n")
                                                  << "invalid CRASHUI_MAIL_FROM: \"a@b.org>, <c@d.org\" (FILE, line 1)";
}

void tst_DeploymentConfig::badValuesNameFileAndLine()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    ScopedEnv env;
    for (const char* name : {"CRASHUI_SMTP_PORT", "CRASHUI_SMTP_TIMEOUT", "CRASHUI_SMTP_SECURITY", "CRASHUI_SMTP_AUTH",
                             "CRASHUI_MAIL_TO", "CRASHUI_MAIL_FROM"})
        env.unset(name);
    const ConfigFile config(file);
    const DeploymentConfig deployment(config.path, true);
    QCOMPARE(SmtpSettings::from(deployment).error, QString(error).replace(QStringLiteral("FILE"), config.path));
}

QTEST_GUILESS_MAIN(tst_DeploymentConfig)
#include "tst_deploymentconfig.moc"
