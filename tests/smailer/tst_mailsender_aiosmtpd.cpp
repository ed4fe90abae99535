// The mailer against a real SMTP server: aiosmtpd with AUTH LOGIN required. The received mail is
// parsed back with Python's email package.

#include "platform/codecs.h"
#include "smailer/appoctstrmcontent.h"
#include "smailer/mailexception.h"
#include "smailer/mailinfo.h"
#include "smailer/mailsender.h"
#include "smailer/mailwrapper.h"
#include "tests/tools/smailermail.h"
#include "tests/tools/smtpsink.h"
#include "smailer/textplaincontent.h"

#include "tests/tools/testhost.h"
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

using namespace SMailer;

class tst_MailSenderAiosmtpd : public QObject {
    Q_OBJECT
private slots:
    void reportMailArrivesIntact();
};

void tst_MailSenderAiosmtpd::reportMailArrivesIntact()
{
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("a_b.rar"));
    QByteArray bytes = randomBytes(300 * 1024 + 17, 7);
    // Lines that look like the end of data or a command must travel as data.
    bytes.append("\n.\n.\r\nQUIT\r\n");
    QVERIFY(!writeFile(archive, bytes).isEmpty());

    const QString description = QStringLiteral("程序崩溃了\n.\n..两个点\r\n最后一行");
    // The texts as the report mail carries them: 8-bit bytes of the mail codec.
    QTextCodec* codec = Lumo::mailCodec();
    QVERIFY(codec);
    SmailerMail report(codec->fromUnicode(QStringLiteral("崩溃_1")).toStdString(),
                       codec->fromUnicode(description).toStdString(), QFile::encodeName(archive).toStdString());
    {
        MailSender sender("127.0.0.1", "bug@example.com", "Err.submit7", sink.port());
        sender.setMail(&report.wrapper());
        sender.sendMail();
    }
    QVERIFY(sink.waitForMails(1));
    const QString attachmentOut = dir.filePath(QStringLiteral("received.bin"));
    const QJsonObject mail = SmtpSink::parse(sink.mails().first(), attachmentOut);
    QCOMPARE(mail.value("subject").toString(), QStringLiteral("bug report : 崩溃_1"));
    QCOMPARE(mail.value("from").toObject().value("name").toString(), QStringLiteral("tova_bug_reporter:bug@example.com"));
    QCOMPARE(mail.value("to").toObject().value("name").toString(), QStringLiteral("tova_bug"));
    QCOMPARE(mail.value("to").toObject().value("address").toString(), QStringLiteral("bug@example.com"));
    QCOMPARE(mail.value("x_mailer").toString(), QStringLiteral("SMailer"));
    QCOMPARE(mail.value("x_priority").toString(), QStringLiteral("3"));
    QCOMPARE(mail.value("boundary").toString(), QStringLiteral("#BOUNDARY#"));
    const QJsonArray parts = mail.value("parts").toArray();
    QCOMPARE(parts.size(), 2);
    // Line ends arrive as CRLF; the text is otherwise intact, dots and all.
    QCOMPARE(parts.at(0).toObject().value("text").toString(),
             QStringLiteral("程序崩溃了\r\n.\r\n..两个点\r\n最后一行\r\n"));
    QCOMPARE(parts.at(1).toObject().value("filename").toString(), QStringLiteral("a_b.rar"));
    QFile received(attachmentOut);
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.readAll(), bytes);
}

QTEST_GUILESS_MAIN(tst_MailSenderAiosmtpd)
#include "tst_mailsender_aiosmtpd.moc"
