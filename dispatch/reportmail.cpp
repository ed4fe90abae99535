#include "reportmail.h"

#include "appoctstrmcontent.h"
#include "codecs.h"
#include "mailconstants.h"
#include "mailinfo.h"
#include "mailsender.h"
#include "mailwrapper.h"
#include "smtpsettings.h"
#include "textplaincontent.h"
#include "winsockhelper.h"

#include <QFile>
#include <QtGlobal>
#include <QTextCodec>

#include <chrono>
#include <string>

namespace {

// 8-bit text for the mail, up to its first NUL byte.
std::string mailBytes(const QString& text)
{
    const QByteArray bytes = Lumo::mailCodec()->fromUnicode(text);
    const int nul = bytes.indexOf('\0');
    return (nul < 0 ? bytes : bytes.left(nul)).toStdString();
}

// "bug report : " and the dump name. The subject is one encoded word on one header line, and SMTP
// refuses lines over 998 octets: a very long dump name is shortened to fit, marked with "...".
std::string subjectFor(const QString& dumpName)
{
    constexpr int kMaxSubjectBytes = 700; // base64 of it plus the line's frame stays under 998
    const std::string prefix = "bug report : ";
    std::string subject = prefix + mailBytes(dumpName);
    if (subject.size() <= kMaxSubjectBytes)
        return subject;
    QString shortened = dumpName;
    do {
        shortened.chop(qMax(1, shortened.size() / 8));
        subject = prefix + mailBytes(shortened) + "...";
    } while (subject.size() > kMaxSubjectBytes && !shortened.isEmpty());
    return subject;
}

std::string utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

} // namespace

bool sendReportMail(const QString& archivePath, const QString& dumpName, const QString& description)
{
    try {
        const MUtils::WinSockHelper socketLayer;
        const SmtpSettings settings = SmtpSettings::current();
        if (!settings.securityValid)
            return false; // a misspelt setting must never mean clear text
        const std::string mailbox = utf8(settings.mailbox);

        const std::string body = mailBytes(description);
        // The attachment is opened by path: the file system's own encoding, not the mail's.
        QByteArray attachmentPath = QFile::encodeName(archivePath);
        const int nul = attachmentPath.indexOf('\0');
        if (nul >= 0)
            attachmentPath.truncate(nul);

        SMailer::TextPlainContent text(body, "gb2312");
        SMailer::AppOctStrmContent attachment(attachmentPath.toStdString());
        SMailer::MailInfo info("gb2312");
        info.setSenderName("tova_bug_reporter:" + mailbox);
        info.setSenderAddress(mailbox);
        info.setReceiver("tova_bug", mailbox);
        info.setPriority(SMailer::Priority::Normal);
        info.setSubject(subjectFor(dumpName));
        info.addMimeContent(&text);
        info.addMimeContent(&attachment);

        SMailer::MailSender sender(utf8(settings.host), mailbox, utf8(settings.password), settings.port,
                                   std::chrono::seconds(settings.timeoutSeconds), settings.security,
                                   QFile::encodeName(settings.caFile).toStdString());
        SMailer::MailWrapper wrapper(&info, 1);
        sender.setMail(&wrapper);
        sender.sendMail();
        return true;
    } catch (...) {
        // The reason is not shown; the dialog reports a failed sending.
        return false;
    }
}
