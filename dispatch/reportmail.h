#pragma once

#include "archive/growingfile.h"
#include "dispatch/failurekind.h"
#include "dispatch/smtpsettings.h"
#include "smailer/appoctstrmcontent.h"
#include "smailer/mailinfo.h"
#include "smailer/mailwrapper.h"
#include "smailer/textplaincontent.h"

#include <QString>

#include <memory>
#include <string>

// The crash-report mail, composed once: from "tova_bug_reporter:" + mailbox to "tova_bug" at the
// same mailbox, subject "bug report : " + dump name, the description as a text part and the
// archive as an attachment. Texts are encoded with the mail codec (GB18030) and labelled
// "gb2312" when every character is GB2312, "GB18030" otherwise. Holds the record and its parts;
// wrapper() is valid as long as the object. One thread at a time.
// An archive held open from packing to sending: the mail carries exactly its first size bytes,
// under the attachment name, or fails.
struct OpenArchive {
    int fd = -1;
    quint64 size = 0;
    QString attachmentName;
    quint64 offset = 0; // a piece of a larger archive starts here
    // An archive still being written (fd unused): it goes out as it is made; size is a bound.
    std::shared_ptr<GrowingFile> growing;
};

// One mail of a report that goes out in several: the attachment is the piece NAME.rar.00k, the
// subject ends with " (k/n)", the text tells how to join the pieces, and every mail names the
// report's Message-ID in a header of its own (X-Crashui-Report) and the joined archive's SHA-256
// in another (X-Crashui-Archive-SHA256). A piece's own Message-ID names its cut (index, count and
// piece size), so that a different byte range never goes out under an ID used before.
struct MailPiece {
    int index = 1;
    int count = 1;
    quint64 pieceBytes = 0;
    QString archiveSha256;
};

class ReportMail {
public:
    ReportMail(const QString& mailbox, const QString& dumpName, const QString& description,
               const QString& archivePath);
    ReportMail(const QString& mailbox, const QString& dumpName, const QString& description,
               const OpenArchive& archive, const QString& messageId = QString(), const MailPiece& piece = MailPiece());
    ReportMail(const ReportMail&) = delete;
    ReportMail& operator=(const ReportMail&) = delete;

    SMailer::MailWrapper& wrapper() { return *m_wrapper; }

    // Another sender or receiver than the mailbox: "tova_bug_reporter:" + from, to "tova_bug" at to.
    void setAddresses(const QString& from, const QString& to);

    const std::string& charset() const { return m_charset; }

    // 8-bit text for the mail (mail codec), up to its first NUL byte.
    static std::string mailBytes(const QString& text);

private:
    ReportMail(const QString& mailbox, const QString& dumpName, const QString& description,
               std::unique_ptr<SMailer::AppOctStrmContent> attachment);

    std::string m_charset;
    SMailer::TextPlainContent m_text;
    std::unique_ptr<SMailer::AppOctStrmContent> m_attachment;
    SMailer::MailInfo m_info;
    std::unique_ptr<SMailer::MailWrapper> m_wrapper;
};

// Sends the report mail to the receiver of the settings (the mailbox by default). True only when
// the server accepted the whole mail; every failure, of any kind, is false. Blocks for at most the
// mailer's bounded waits; meant for a worker thread.
bool sendReportMail(const SmtpSettings& settings, const QString& archivePath, const QString& dumpName,
                    const QString& description);
// The same for an archive held open, with the report's Message-ID; why it failed goes to reason:
// the step and what the server said, in plain words.
struct MailOutcome {
    bool sent = false;
    QString reason;       // why not, in plain words
    FailureKind kind = FailureKind::Temporary; // what the failure says about the next try
    quint64 sizeLimit = 0; // refused for its size: the mail must be smaller than this
    bool refusedUnannounced = false; // that limit is only the refused size: the server gave none
    bool networkFailure = false;     // the network failed it (name, connection, time-out), not the server
    bool mayHaveArrived = false;     // the whole mail was sent, then the answer never came
};
// The Message-ID is the same in every attempt of one report, so that a mail sent twice can be
// recognised; each piece of a report in several mails has its own, made from it.
MailOutcome sendReportMail(const SmtpSettings& settings, const OpenArchive& archive, const QString& dumpName,
                           const QString& description, const QString& messageId, const MailPiece& piece = MailPiece());
// With DispatchConfig::current()'s settings.
MailOutcome sendReportMail(const OpenArchive& archive, const QString& dumpName, const QString& description,
                           const QString& messageId, const MailPiece& piece = MailPiece());
// The size limit the report server advertises now (0: none); false, with why, when it cannot be
// reached (and kind, when given, what the failure says about the next try). Logs in and ends the
// session without sending anything.
bool advertisedSizeLimit(const SmtpSettings& settings, quint64* limit, QString* reason, FailureKind* kind = nullptr);
// The size of that mail on the wire, as the SIZE extension counts it (never smaller than the truth).
quint64 reportMailSize(const SmtpSettings& settings, const OpenArchive& archive, const QString& dumpName,
                       const QString& description, const QString& messageId, const MailPiece& piece = MailPiece());

// The kind of a failure of the mailer, from what it reports: its step's message, its reason
// ("STEP refused by HOST:PORT: CODE text" for a refusal) and whether the network failed it.
FailureKind mailFailureKind(const std::string& message, const std::string& reason, bool network);
