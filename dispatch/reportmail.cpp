#include "dispatch/reportmail.h"

#include "dispatch/smtpsettings.h"
#include "platform/codecs.h"
#include "smailer/charsetlabel.h"
#include "smailer/mailconstants.h"
#include "smailer/mailexception.h"
#include "smailer/mailsender.h"
#include "smailer/winsockhelper.h"

#include <QFile>
#include <QTextCodec>
#include <QtGlobal>

#include <chrono>

namespace {

// "bug report : " and the dump name. The subject is one encoded word on one header line, and SMTP
// refuses lines over 998 octets: a very long dump name is shortened to fit, marked with "...".
std::string subjectFor(const QString& dumpName)
{
    constexpr int kMaxSubjectBytes = 700; // base64 of it plus the line's frame stays under 998
    const std::string prefix = "bug report : ";
    std::string subject = prefix + ReportMail::mailBytes(dumpName);
    if (subject.size() <= kMaxSubjectBytes)
        return subject;
    QString shortened = dumpName;
    do {
        shortened.chop(qMax(1, shortened.size() / 8));
        subject = prefix + ReportMail::mailBytes(shortened) + "...";
    } while (subject.size() > kMaxSubjectBytes && !shortened.isEmpty());
    return subject;
}

std::string utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

// The attachment is opened by path: the file system's own encoding, not the mail's.
std::string filePath(const QString& path)
{
    QByteArray bytes = QFile::encodeName(path);
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return bytes.toStdString();
}

} // namespace

std::string ReportMail::mailBytes(const QString& text)
{
    const QByteArray bytes = Lumo::mailCodec()->fromUnicode(text);
    const int nul = bytes.indexOf('\0');
    return (nul < 0 ? bytes : bytes.left(nul)).toStdString();
}

ReportMail::ReportMail(const QString& mailbox, const QString& dumpName, const QString& description,
                       const QString& archivePath)
    : ReportMail(mailbox, dumpName, description, std::make_unique<SMailer::AppOctStrmContent>(filePath(archivePath)))
{
}

ReportMail::ReportMail(const QString& mailbox, const QString& dumpName, const QString& description,
                       const OpenArchive& archive)
    : ReportMail(mailbox, dumpName, description,
                 std::make_unique<SMailer::AppOctStrmContent>(archive.fd, archive.size,
                                                              archive.attachmentName.toUtf8().toStdString()))
{
}

ReportMail::ReportMail(const QString& mailbox, const QString& dumpName, const QString& description,
                       std::unique_ptr<SMailer::AppOctStrmContent> attachment)
    : m_charset(SMailer::gbCharsetLabel(mailBytes(description) + mailBytes(dumpName))),
      m_text(mailBytes(description), m_charset), m_attachment(std::move(attachment)), m_info(m_charset)
{
    const std::string address = utf8(mailbox);
    m_info.setSenderName("tova_bug_reporter:" + address);
    m_info.setSenderAddress(address);
    m_info.setReceiver("tova_bug", address);
    m_info.setPriority(SMailer::Priority::Normal);
    m_info.setSubject(subjectFor(dumpName));
    m_info.addMimeContent(&m_text);
    m_info.addMimeContent(m_attachment.get());
    m_wrapper = std::make_unique<SMailer::MailWrapper>(&m_info, 1);
}

namespace {

template <typename Archive>
bool send(const Archive& archive, const QString& dumpName, const QString& description, const QString& messageId,
          QString* reason)
{
    try {
        const MUtils::WinSockHelper socketLayer;
        const SmtpSettings settings = SmtpSettings::current();
        if (!settings.error.isEmpty()) {
            // Nobody is contacted with a setting that had to be guessed.
            if (reason)
                *reason = settings.error;
            return false;
        }
        ReportMail mail(settings.mailbox, dumpName, description, archive);
        if (!messageId.isEmpty())
            mail.setMessageId(messageId);
        SMailer::MailSender sender(utf8(settings.host), utf8(settings.mailbox), utf8(settings.password), settings.port,
                                   std::chrono::seconds(settings.timeoutSeconds), settings.security,
                                   QFile::encodeName(settings.caFile).toStdString());
        sender.setMail(&mail.wrapper());
        sender.sendMail();
        return true;
    } catch (const SMailer::MailException& e) {
        if (reason)
            *reason = QString::fromUtf8((e.reason().empty() ? std::string(e.what()) : e.reason()).c_str());
        return false;
    } catch (const std::exception& e) {
        if (reason)
            *reason = QString::fromUtf8(e.what());
        return false;
    } catch (...) {
        if (reason)
            *reason = QStringLiteral("unknown failure");
        return false;
    }
}

} // namespace

bool sendReportMail(const QString& archivePath, const QString& dumpName, const QString& description)
{
    return send(archivePath, dumpName, description, QString(), nullptr);
}

bool sendReportMail(const OpenArchive& archive, const QString& dumpName, const QString& description,
                    const QString& messageId, QString* reason)
{
    return send(archive, dumpName, description, messageId, reason);
}
