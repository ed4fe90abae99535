// The crash-report mail as the mailer sends it: its addresses, subject, charset label and parts,
// byte for byte.

#include "dispatch/reportmail.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

using namespace SMailer;

namespace {
// Tue, 08 Dec 2026 01:05:01 UTC, which reads 09:05:01 at UTC+8.
constexpr std::time_t kFixedTime = 1796691901;
} // namespace

class tst_ReportMail : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void reportMailWholeText();
};

void tst_ReportMail::initTestCase()
{
    qputenv("TZ", "UTC");
    tzset();
}

void tst_ReportMail::reportMailWholeText()
{
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("a_b.rar"));
    QFile file(archive);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("0123456789");
    file.close();

    // Composed from texts through the mail codec, so that each Qt build is held to the same bytes.
    ReportMail report(QStringLiteral("bug@example.com"), QStringLiteral("a_b"), QStringLiteral("我 crashed\r\n"),
                      archive);
    MailWrapper& wrapper = report.wrapper();
    wrapper.setClock([] { return kFixedTime; });

    std::string all = wrapper.getHeader();
    wrapper.traverseContent();
    while (wrapper.hasMoreContent())
        all += wrapper.nextPart();
    all += wrapper.getEnd();

    const QByteArray expected =
        "From: \"=?gb2312?B?dG92YV9idWdfcmVwb3J0ZXI6YnVnQGV4YW1wbGUuY29t?=\" <bug@example.com>\r\n"
        "To: \"=?gb2312?B?dG92YV9idWc=?=\" <bug@example.com>\r\n"
        "Date: Tue, 08 Dec 2026 09:05:01 +0800\r\n"
        "Subject: =?gb2312?B?YnVnIHJlcG9ydCA6IGFfYg==?=\r\n"
        "X-Mailer: SMailer\r\n"
        "X-Priority: 3\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-type: multipart/mixed; boundary=\"#BOUNDARY#\"\r\n"
        "\r\n"
        "--#BOUNDARY#\r\n"
        "Content-Type: text/plain; charset=gb2312\r\n"
        "Content-Transfer-Encoding: 8bit\r\n"
        "\r\n"
        "\xce\xd2 crashed\r\n"
        "\r\n\r\n"
        "--#BOUNDARY#\r\n"
        "Content-Type: application/octet-stream; name=a_b.rar\r\n"
        "Content-Disposition: attachment; filename=a_b.rar\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "\r\n"
        "MDEyMzQ1Njc4OQ==\n"
        "\r\n\r\n"
        "\r\n--#BOUNDARY#--\r\n"
        ".\r\n";
    QCOMPARE(QByteArray::fromStdString(all), expected);
}

QTEST_GUILESS_MAIN(tst_ReportMail)
#include "tst_reportmail.moc"
