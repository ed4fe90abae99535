#pragma once

#include "smailer/appoctstrmcontent.h"
#include "smailer/mailconstants.h"
#include "smailer/mailinfo.h"
#include "smailer/mailwrapper.h"
#include "smailer/textplaincontent.h"

#include <memory>
#include <string>

// A mail made of the mailer's own parts only, shaped as a crash report is: from
// "tova_bug_reporter:" + mailbox to "tova_bug" at the mailbox, subject "bug report : " + name,
// normal priority, the text as a part (8-bit bytes of the mail codec, labelled by
// SMailer::gbCharsetLabel) and the file at attachmentPath as the attachment (none: a part without
// content). The mailer's tests need no report code for it. wrapper() lives as long as the object.
class SmailerMail {
public:
    SmailerMail(const std::string& name, const std::string& text, const std::string& attachmentPath = std::string(),
                const std::string& mailbox = "bug@example.com");
    SmailerMail(const SmailerMail&) = delete;
    SmailerMail& operator=(const SmailerMail&) = delete;

    SMailer::MailWrapper& wrapper() { return *m_wrapper; }

private:
    std::string m_charset;
    SMailer::TextPlainContent m_text;
    SMailer::AppOctStrmContent m_attachment;
    SMailer::MailInfo m_info;
    std::unique_ptr<SMailer::MailWrapper> m_wrapper;
};
