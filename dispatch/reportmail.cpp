#include "dispatch/reportmail.h"

#include "dispatch/dispatchconfig.h"
#include "platform/codecs.h"
#include "smailer/charsetlabel.h"
#include "smailer/mailconstants.h"
#include "smailer/mailexception.h"
#include "smailer/mailsender.h"
#include "smailer/winsockhelper.h"

#include <QFile>
#include <QStringList>
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

QString pieceName(const OpenArchive& archive, const MailPiece& piece)
{
    if (piece.count <= 1)
        return archive.attachmentName;
    return archive.attachmentName + QStringLiteral(".%1").arg(piece.index, 3, 10, QLatin1Char('0'));
}

// The description (first mail only) and, for a report in several mails, how to join them.
QString pieceText(const QString& dumpName, const QString& description, const OpenArchive& archive,
                  const MailPiece& piece)
{
    Q_UNUSED(dumpName)
    if (piece.count <= 1)
        return description;
    QStringList names;
    for (int i = 1; i <= piece.count; ++i)
        names << pieceName(archive, {i, piece.count, 0, QString()});
    const QString note =
        QStringLiteral("This crash report is too large for one mail and comes in %1 mails; this is mail %2.\n"
                       "Join the attachments of all %1 in order to get %3:\n"
                       "    cat %4 > %3\n"
                       "or open %5 with 7-Zip, which reads the pieces as one archive.\n")
            .arg(piece.count)
            .arg(piece.index)
            .arg(archive.attachmentName, names.join(QLatin1Char(' ')), names.first());
    return piece.index == 1 ? description + QStringLiteral("\n\n") + note : note;
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
                       const OpenArchive& archive, const QString& messageId, const MailPiece& piece)
    : ReportMail(mailbox, dumpName, pieceText(dumpName, description, archive, piece),
                 archive.growing ? std::make_unique<SMailer::AppOctStrmContent>(
                                       archive.growing, archive.size, pieceName(archive, piece).toUtf8().toStdString())
                                 : std::make_unique<SMailer::AppOctStrmContent>(
                                       archive.fd, archive.offset, archive.size,
                                       pieceName(archive, piece).toUtf8().toStdString()))
{
    if (piece.count > 1) {
        const std::string subject = subjectFor(dumpName) + " (" + std::to_string(piece.index) + "/" +
                                    std::to_string(piece.count) + ")";
        m_info.setSubject(subject);
        if (!piece.archiveSha256.isEmpty())
            m_info.addHeader("X-Crashui-Archive-SHA256", piece.archiveSha256.toStdString());
        if (!messageId.isEmpty()) {
            m_info.addHeader("X-Crashui-Report", messageId.toStdString());
            QString own = messageId;
            own.insert(own.lastIndexOf(QLatin1Char('@')),
                       QStringLiteral(".part%1of%2.%3").arg(piece.index).arg(piece.count).arg(piece.pieceBytes));
            m_info.setMessageId(own.toStdString());
        }
    } else if (!messageId.isEmpty()) {
        m_info.setMessageId(messageId.toStdString());
    }
}

ReportMail::ReportMail(const QString& mailbox, const QString& dumpName, const QString& description,
                       std::unique_ptr<SMailer::AppOctStrmContent> attachment)
    : m_charset(SMailer::gbCharsetLabel(mailBytes(description) + mailBytes(dumpName))),
      m_text(mailBytes(description), m_charset), m_attachment(std::move(attachment)), m_info(m_charset)
{
    setAddresses(mailbox, mailbox);
    m_info.setPriority(SMailer::Priority::Normal);
    m_info.setSubject(subjectFor(dumpName));
    m_info.addMimeContent(&m_text);
    m_info.addMimeContent(m_attachment.get());
    m_wrapper = std::make_unique<SMailer::MailWrapper>(&m_info, 1);
}

void ReportMail::setAddresses(const QString& from, const QString& to)
{
    const std::string sender = utf8(from);
    m_info.setSenderName("tova_bug_reporter:" + sender);
    m_info.setSenderAddress(sender);
    m_info.setReceiver("tova_bug", utf8(to));
}

namespace {

// The mailer as configured: the configured user and mechanism; without a login the
// password is not handed to the mailer at all.
std::unique_ptr<SMailer::MailSender> senderFor(const SmtpSettings& settings)
{
    const bool login = settings.auth != SMailer::Auth::None;
    return std::make_unique<SMailer::MailSender>(
        utf8(settings.host), login ? utf8(settings.user) : std::string(),
        login ? utf8(settings.password) : std::string(), settings.port, std::chrono::seconds(settings.timeoutSeconds),
        settings.security, QFile::encodeName(settings.caFile).toStdString(), settings.auth);
}

bool send(ReportMail& mail, const SmtpSettings& settings, MailOutcome& outcome)
{
    mail.setAddresses(settings.mailFrom, settings.mailTo);
    try {
        const MUtils::WinSockHelper socketLayer;
        const std::unique_ptr<SMailer::MailSender> connected = senderFor(settings);
        SMailer::MailSender& sender = *connected;
        // Looked at while a failure unwinds, before the sender goes.
        struct EndWatch {
            const SMailer::MailSender& sender;
            MailOutcome& outcome;
            ~EndWatch() { outcome.mayHaveArrived = !outcome.sent && sender.endOfDataSent(); }
        } watch{sender, outcome};
        sender.setMail(&mail.wrapper());
        sender.sendMail();
        outcome.sent = true;
    } catch (const SMailer::MailTooLargeException& e) {
        outcome.reason = QString::fromUtf8(e.reason().c_str());
        outcome.sizeLimit = e.limit();
        outcome.refusedUnannounced = !e.announced();
    } catch (const SMailer::MailException& e) {
        outcome.reason = QString::fromUtf8((e.reason().empty() ? std::string(e.what()) : e.reason()).c_str());
        outcome.networkFailure = e.network();
        outcome.kind = mailFailureKind(e.what(), e.reason(), e.network());
        if (outcome.mayHaveArrived)
            outcome.reason += QStringLiteral("; it may have arrived");
    } catch (const std::exception& e) {
        outcome.reason = QString::fromUtf8(e.what());
    } catch (...) {
        outcome.reason = QStringLiteral("unknown failure");
    }
    // A server may quote what it was sent; the login and the password go nowhere from here.
    outcome.reason = settings.withoutCredentials(outcome.reason);
    return outcome.sent;
}

} // namespace

FailureKind mailFailureKind(const std::string& message, const std::string& reason, bool network)
{
    if (network)
        return FailureKind::Temporary;
    // TLS that cannot be agreed on, and values no command may carry, are the deployment's.
    for (const char* tls : {"Server certificate verification error", "TLS handshake error",
                            "Server does not support STARTTLS"}) {
        if (message == tls)
            return FailureKind::Configuration;
    }
    if (reason.find("a configured value holds a line break") != std::string::npos ||
        reason.find("the login or the password holds a NUL byte") != std::string::npos)
        return FailureKind::Configuration;
    // "STEP refused by HOST:PORT: CODE text": the host holds no ": ", so the code follows the first.
    const std::size_t by = reason.find(" refused by ");
    const std::size_t colon = by == std::string::npos ? by : reason.find(": ", by);
    if (colon == std::string::npos || colon + 5 > reason.size())
        return FailureKind::Temporary;
    const char first = reason[colon + 2];
    if (first != '5')
        return FailureKind::Temporary; // 4xx: the server's state, tried again later
    // A refused login is a wrong login or password; after it, the refusal is of this mail.
    return reason.compare(0, by, "login") == 0 ? FailureKind::Configuration : FailureKind::Permanent;
}

bool sendReportMail(const SmtpSettings& settings, const QString& archivePath, const QString& dumpName,
                    const QString& description)
{
    if (!settings.error.isEmpty())
        return false; // nobody is contacted with a setting that had to be guessed
    ReportMail mail(settings.mailbox, dumpName, description, archivePath);
    MailOutcome outcome;
    return send(mail, settings, outcome);
}

MailOutcome sendReportMail(const OpenArchive& archive, const QString& dumpName, const QString& description,
                           const QString& messageId, const MailPiece& piece)
{
    return sendReportMail(DispatchConfig::current().smtp, archive, dumpName, description, messageId, piece);
}

MailOutcome sendReportMail(const SmtpSettings& settings, const OpenArchive& archive, const QString& dumpName,
                           const QString& description, const QString& messageId, const MailPiece& piece)
{
    MailOutcome outcome;
    if (!settings.error.isEmpty()) {
        outcome.reason = settings.error; // nobody is contacted with a setting that had to be guessed
        outcome.kind = FailureKind::Configuration;
        return outcome;
    }
    try {
        ReportMail mail(settings.mailbox, dumpName, description, archive, messageId, piece);
        send(mail, settings, outcome);
    } catch (const std::exception& e) {
        outcome.reason = settings.withoutCredentials(QString::fromUtf8(e.what()));
    }
    return outcome;
}

bool advertisedSizeLimit(const SmtpSettings& settings, quint64* limit, QString* reason, FailureKind* kind)
{
    FailureKind ignored = FailureKind::Temporary;
    FailureKind& failure = kind ? *kind : ignored;
    if (!settings.error.isEmpty()) {
        *reason = settings.error;
        failure = FailureKind::Configuration;
        return false;
    }
    try {
        const MUtils::WinSockHelper socketLayer;
        // The same login as the mail's.
        const std::unique_ptr<SMailer::MailSender> sender = senderFor(settings);
        *limit = sender->serverSizeLimit();
        return true;
    } catch (const SMailer::MailException& e) {
        *reason = QString::fromUtf8((e.reason().empty() ? std::string(e.what()) : e.reason()).c_str());
        failure = mailFailureKind(e.what(), e.reason(), e.network());
    } catch (const std::exception& e) {
        *reason = QString::fromUtf8(e.what());
    }
    // A server may quote what it was sent.
    *reason = settings.withoutCredentials(*reason);
    return false;
}

quint64 reportMailSize(const SmtpSettings& settings, const OpenArchive& archive, const QString& dumpName,
                       const QString& description, const QString& messageId, const MailPiece& piece)
{
    ReportMail mail(settings.mailbox, dumpName, description, archive, messageId, piece);
    mail.setAddresses(settings.mailFrom, settings.mailTo);
    return mail.wrapper().wireSize();
}
