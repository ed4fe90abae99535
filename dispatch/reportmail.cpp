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
#include <QTextCodec>

#include <string>

namespace {

// 8-bit text for the mail, up to its first NUL byte.
std::string mailBytes(const QString& text)
{
    const QByteArray bytes = Lumo::mailCodec()->fromUnicode(text);
    const int nul = bytes.indexOf('\0');
    return (nul < 0 ? bytes : bytes.left(nul)).toStdString();
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
        info.setSubject("bug report : " + mailBytes(dumpName));
        info.addMimeContent(&text);
        info.addMimeContent(&attachment);

        SMailer::MailSender sender(utf8(settings.host), mailbox, utf8(settings.password), settings.port);
        SMailer::MailWrapper wrapper(&info, 1);
        sender.setMail(&wrapper);
        sender.sendMail();
        return true;
    } catch (...) {
        // The reason is not shown; the dialog reports a failed sending.
        return false;
    }
}
