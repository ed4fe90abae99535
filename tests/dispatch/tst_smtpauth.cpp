// How crashui logs in (AUTH LOGIN, AUTH PLAIN or not at all), with a login, sender and receiver of
// their own: the dialogue as data against the scripted server, the real thing against aiosmtpd,
// a locked build of the program configured by its file alone, and the login and password absent
// from everything a failing run leaves behind.

#include "dispatch/pendingstore.h"
#include "dispatch/reportmail.h"
#include "tests/tools/refusingport.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"

#include <QDirIterator>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray base64(const QByteArray& bytes)
{
    return bytes.toBase64();
}

// An archive held open, as the pending store hands it to the mail.
struct Archive {
    QTemporaryDir dir;
    int fd = -1;
    OpenArchive open;
    Archive()
    {
        const QString path = writeFile(dir.filePath(QStringLiteral("a_b.rar")), randomBytes(4000, 3));
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        open.fd = fd;
        open.size = 4000;
        open.attachmentName = QStringLiteral("a_b.rar");
    }
    ~Archive() { ::close(fd); }
};

// The locked build of the program (it ignores the environment for the mail's destination) and
// its configuration file, written for one run and removed afterwards.
struct LockedProgram {
    QString config = QString::fromLocal8Bit(qgetenv("CRASHUI_LOCKED_CONFIG"));

    explicit LockedProgram(const QByteArray& content, int mode = 0640)
    {
        QDir().mkpath(QFileInfo(config).path());
        QFile::remove(config);
        writeFile(config, content);
        ::chmod(QFile::encodeName(config).constData(), static_cast<mode_t>(mode));
    }
    ~LockedProgram() { QFile::remove(config); }

    // Runs "crashui --send-pending ROOT" without a display, with env added to the environment.
    int sendPending(const QString& root, const QStringList& env, QString& out, QString& err) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        for (const QString& pair : env)
            environment.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QString::fromLocal8Bit(qgetenv("CRASHUI_LOCKED_BINARY")),
                      {QStringLiteral("--send-pending"), root});
        if (!process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        out = QString::fromUtf8(process.readAllStandardOutput());
        err = QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
};

// A report of host kept as pending, never tried yet; its id.
QString pendingReport(const TestHost& host)
{
    PendingStore store(host.info.dumpDir);
    const std::unique_ptr<PendingReport> report =
        store.create(host.info, QStringLiteral("kept"), QStringLiteral("bug@example.com"));
    return report ? report->record().id : QString();
}

// Every byte of every file below folder.
QByteArray everyFile(const QString& folder)
{
    QByteArray all;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        all += it.next().toUtf8() + '\n' + readFile(it.filePath()) + '\n';
    return all;
}

} // namespace

class tst_SmtpAuth : public QObject {
    Q_OBJECT
private slots:
    void dialogue_data();
    void dialogue();
    void realServer_data();
    void realServer();
    void lockedProgramByFileAlone_data();
    void lockedProgramByFileAlone();
    void credentialsInNoOutput_data();
    void credentialsInNoOutput();
};

void tst_SmtpAuth::dialogue_data()
{
    QTest::addColumn<QStringList>("env");     // NAME=value, beside the usual mail settings
    QTest::addColumn<QByteArray>("expected"); // what the client sends after EHLO, up to DATA

    const QByteArray envelope = "MAIL FROM: <bug@example.com>\r\nRCPT TO: <bug@example.com>\r\nDATA\r\n";
    const QByteArray login = "AUTH LOGIN\r\n" + base64("bug@example.com") + "\r\n" + base64("Err.submit7") + "\r\n";
    QTest::newRow("defaults: AUTH LOGIN as always") << QStringList() << login + envelope;
    QTest::newRow("login named") << QStringList{QStringLiteral("CRASHUI_SMTP_AUTH=login")} << login + envelope;
    QTest::newRow("plain: the initial response")
        << QStringList{QStringLiteral("CRASHUI_SMTP_AUTH=plain")}
        << "AUTH PLAIN " + base64(QByteArray("\0bug@example.com\0Err.submit7", 28)) + "\r\n" + envelope;
    const QByteArray longPassword(400, 'p');
    QTest::newRow("plain: too long for one command line")
        << QStringList{QStringLiteral("CRASHUI_SMTP_AUTH=PLAIN"),
                       "CRASHUI_SMTP_PASSWORD=" + QString::fromLatin1(longPassword)}
        << "AUTH PLAIN\r\n" + base64(QByteArray("\0bug@example.com\0", 17) + longPassword) + "\r\n" + envelope;
    QTest::newRow("none: no AUTH, no password") << QStringList{QStringLiteral("CRASHUI_SMTP_AUTH=none")} << envelope;
    QTest::newRow("a login of its own") << QStringList{QStringLiteral("CRASHUI_SMTP_USER=reporter-7")}
                                        << "AUTH LOGIN\r\n" + base64("reporter-7") + "\r\n" + base64("Err.submit7") +
                                               "\r\n" + envelope;
    QTest::newRow("sender and receiver of their own")
        << QStringList{QStringLiteral("CRASHUI_SMTP_AUTH=none"), QStringLiteral("CRASHUI_MAIL_FROM=crash@host.example"),
                       QStringLiteral("CRASHUI_MAIL_TO=team@example.org")}
        << QByteArray("MAIL FROM: <crash@host.example>\r\nRCPT TO: <team@example.org>\r\nDATA\r\n");
}

void tst_SmtpAuth::dialogue()
{
    QFETCH(QStringList, env);
    QFETCH(QByteArray, expected);
    ScriptedSmtpServer server;
    ScopedEnv settings = pointMailAt(server.port(), 10);
    for (const char* name : {"CRASHUI_SMTP_AUTH", "CRASHUI_SMTP_USER", "CRASHUI_MAIL_FROM", "CRASHUI_MAIL_TO"})
        settings.unset(name);
    for (const QString& pair : env)
        settings.set(pair.section(QLatin1Char('='), 0, 0).toLatin1().constData(),
                     pair.section(QLatin1Char('='), 1).toUtf8());
    Archive archive;
    const MailOutcome outcome = sendReportMail(archive.open, QStringLiteral("a_b"), QStringLiteral("d"), QString());
    QVERIFY2(outcome.sent, qPrintable(outcome.reason));
    QVERIFY(server.waitForClientGone(30000));
    const QByteArray transcript = QByteArray::fromStdString(server.transcript());
    const int afterEhlo = transcript.indexOf("\r\n") + 2;
    QCOMPARE(transcript.mid(afterEhlo, transcript.indexOf("DATA\r\n") + 6 - afterEhlo), expected);
    // The headers name the same sender and receiver as the envelope.
    const QByteArray message = QByteArray::fromStdString(server.message());
    const QByteArray from = expected.mid(expected.indexOf("MAIL FROM: ") + 11).split('\r').first();
    const QByteArray to = expected.mid(expected.indexOf("RCPT TO: ") + 9).split('\r').first();
    int named = 0;
    for (const QByteArray& line : message.left(message.indexOf("\r\n\r\n")).split('\n')) {
        if (line.startsWith("From: ") || line.startsWith("To: ")) {
            QVERIFY2(line.trimmed().endsWith(line.startsWith("From: ") ? from : to), line.constData());
            ++named;
        }
    }
    QCOMPARE(named, 2);
}

void tst_SmtpAuth::realServer_data()
{
    QTest::addColumn<QString>("auth");
    QTest::addColumn<QStringList>("sinkArguments");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("login"); // how the session logged in; "refused ..." when not sent

    const QStringList relay{QStringLiteral("--no-auth-required")};
    QTest::newRow("none, a relay without login") << "none" << relay << "pw-Secret-42"
                                                 << "";
    QTest::newRow("plain") << "plain" << QStringList() << "pw-Secret-42"
                           << "PLAIN reporter-7";
    QTest::newRow("plain, the relay offers it") << "plain" << relay << "pw-Secret-42"
                                                << "PLAIN reporter-7";
    QTest::newRow("login") << "login" << QStringList() << "pw-Secret-42"
                           << "LOGIN reporter-7";
    QTest::newRow("none, the server wants a login") << "none" << QStringList() << "pw-Secret-42"
                                                    << "refused 530";
    QTest::newRow("plain, wrong password") << "plain" << QStringList() << "pw-Wrong-43"
                                           << "refused 535";
}

void tst_SmtpAuth::realServer()
{
    QFETCH(QString, auth);
    QFETCH(QStringList, sinkArguments);
    QFETCH(QString, password);
    QFETCH(QString, login);
    SmtpSink sink(QStringLiteral("pw-Secret-42"), QStringLiteral("reporter-7"), sinkArguments);
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ScopedEnv env = pointMailAt(sink.port(), 10);
    env.set("CRASHUI_SMTP_AUTH", auth.toLatin1())
        .set("CRASHUI_SMTP_USER", "reporter-7")
        .set("CRASHUI_SMTP_PASSWORD", password.toLatin1())
        .unset("CRASHUI_MAIL_FROM")
        .unset("CRASHUI_MAIL_TO");
    Archive archive;
    const MailOutcome outcome = sendReportMail(archive.open, QStringLiteral("a_b"), QStringLiteral("d"), QString());
    QVERIFY(!outcome.reason.contains(password));
    QVERIFY(!outcome.reason.contains(QStringLiteral("reporter-7")));
    if (login.startsWith(QStringLiteral("refused"))) {
        QVERIFY(!outcome.sent);
        QVERIFY2(outcome.reason.contains(login.section(QLatin1Char(' '), 1)), qPrintable(outcome.reason));
        QCOMPARE(sink.mails().size(), 0);
        return;
    }
    QVERIFY2(outcome.sent, qPrintable(outcome.reason));
    QVERIFY(sink.waitForMails(1));
    QCOMPARE(SmtpSink::loginOf(sink.mails().first()), login);
    const QJsonObject mail = SmtpSink::parse(sink.mails().first());
    QCOMPARE(mail.value("from").toObject().value("address").toString(), QStringLiteral("bug@example.com"));
    QCOMPARE(mail.value("to").toObject().value("address").toString(), QStringLiteral("bug@example.com"));
}

void tst_SmtpAuth::lockedProgramByFileAlone_data()
{
    QTest::addColumn<QString>("auth");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("login"); // how the session logged in; empty: none; "refused" when kept

    QTest::newRow("none, through a relay") << "none" << 0640 << "";
    QTest::newRow("plain") << "plain" << 0640 << "PLAIN reporter-7";
    QTest::newRow("password in a file others can write") << "plain" << 0646 << "refused";
}

void tst_SmtpAuth::lockedProgramByFileAlone()
{
    QFETCH(QString, auth);
    QFETCH(int, mode);
    QFETCH(QString, login);
    SmtpSink sink(QStringLiteral("pw-Secret-42"), QStringLiteral("reporter-7"),
                  auth == QLatin1String("none") ? QStringList{QStringLiteral("--no-auth-required")} : QStringList());
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    const LockedProgram program(QStringLiteral("# written by tst_smtpauth\n[crashui]\n"
                                               "CRASHUI_SMTP_HOST = 127.0.0.1\n"
                                               "CRASHUI_SMTP_PORT = %1\n"
                                               "CRASHUI_SMTP_TIMEOUT = 10\n"
                                               "CRASHUI_SMTP_AUTH = %2\n"
                                               "CRASHUI_SMTP_USER = reporter-7\n"
                                               "CRASHUI_SMTP_PASSWORD = pw-Secret-42\n"
                                               "CRASHUI_MAIL_FROM = crash@host.example\n"
                                               "CRASHUI_MAIL_TO = team@example.org\n")
                                    .arg(sink.port())
                                    .arg(auth)
                                    .toUtf8(),
                                mode);
    TestHost host;
    const QString id = pendingReport(host);
    QVERIFY(!id.isEmpty());
    // A user's environment points elsewhere; the locked build does not listen.
    const QStringList env{
        QStringLiteral("CRASHUI_SMTP_HOST=localhost"), QStringLiteral("CRASHUI_SMTP_PORT=%1").arg(deadPort()),
        QStringLiteral("CRASHUI_SMTP_AUTH=login"), QStringLiteral("CRASHUI_MAIL_TO=user@example.net")};
    QString out;
    QString err;
    const int exitCode = program.sendPending(host.root, env, out, err);
    if (login == QLatin1String("refused")) {
        QCOMPARE(exitCode, 1);
        QCOMPARE(out, QStringLiteral("kept %1: %2, line 8: CRASHUI_SMTP_PASSWORD is not used: the file is writable by "
                                     "others\n")
                          .arg(id, program.config));
        QCOMPARE(sink.mails().size(), 0);
        return;
    }
    QCOMPARE(out, QStringLiteral("sent %1\n").arg(id));
    QCOMPARE(exitCode, 0);
    QVERIFY(sink.waitForMails(1));
    QCOMPARE(SmtpSink::loginOf(sink.mails().first()), login);
    const QJsonObject mail = SmtpSink::parse(sink.mails().first());
    QCOMPARE(mail.value("from").toObject().value("address").toString(), QStringLiteral("crash@host.example"));
    QCOMPARE(mail.value("from").toObject().value("name").toString(),
             QStringLiteral("tova_bug_reporter:crash@host.example"));
    QCOMPARE(mail.value("to").toObject().value("address").toString(), QStringLiteral("team@example.org"));
}

void tst_SmtpAuth::credentialsInNoOutput_data()
{
    QTest::addColumn<QString>("auth");
    QTest::newRow("login") << "login";
    QTest::newRow("plain") << "plain";
}

void tst_SmtpAuth::credentialsInNoOutput()
{
    QFETCH(QString, auth);
    // A server that quotes what it was sent in its refusal.
    ScriptedSmtpServer server(
        {{"PASS", ScriptedSmtpServer::reply("535 5.7.8 reporter-7 / pw-Secret-42 not accepted\r\n")}});
    const LockedProgram program(QStringLiteral("CRASHUI_SMTP_HOST = 127.0.0.1\nCRASHUI_SMTP_PORT = %1\n"
                                               "CRASHUI_SMTP_AUTH = %2\nCRASHUI_SMTP_USER = reporter-7\n"
                                               "CRASHUI_SMTP_PASSWORD = pw-Secret-42\nCRASHUI_SMTP_TIMEOUT = 10\n")
                                    .arg(server.port())
                                    .arg(auth)
                                    .toUtf8());
    TestHost host;
    const QString id = pendingReport(host);
    QString out;
    QString err;
    QCOMPARE(program.sendPending(host.root, {}, out, err), 1);
    QVERIFY2(out.startsWith(QStringLiteral("kept %1: login refused by 127.0.0.1:").arg(id)), qPrintable(out));
    const QByteArray everything = out.toUtf8() + err.toUtf8() + everyFile(host.base.path());
    QVERIFY(everything.contains("not accepted")); // the record holds the reason
    for (const QByteArray& secret :
         {QByteArray("reporter-7"), QByteArray("pw-Secret-42"), base64("reporter-7"), base64("pw-Secret-42")})
        QVERIFY2(!everything.contains(secret), secret.constData());
}

QTEST_GUILESS_MAIN(tst_SmtpAuth)
#include "tst_smtpauth.moc"
