#include "tests/tools/smailermail.h"

#include "smailer/charsetlabel.h"

SmailerMail::SmailerMail(const std::string& name, const std::string& text, const std::string& attachmentPath,
                         const std::string& mailbox)
    : m_charset(SMailer::gbCharsetLabel(text + name)), m_text(text, m_charset), m_attachment(attachmentPath),
      m_info(m_charset)
{
    m_info.setSenderName("tova_bug_reporter:" + mailbox);
    m_info.setSenderAddress(mailbox);
    m_info.setReceiver("tova_bug", mailbox);
    m_info.setPriority(SMailer::Priority::Normal);
    m_info.setSubject("bug report : " + name);
    m_info.addMimeContent(&m_text);
    m_info.addMimeContent(&m_attachment);
    m_wrapper = std::make_unique<SMailer::MailWrapper>(&m_info, 1);
}
