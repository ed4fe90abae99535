#include "smailer/mailinfo.h"

#include "smailer/base64helper.h"
#include "smailer/mailconstants.h"

namespace SMailer {

MailInfo::MailInfo(const std::string& charset) : charset(charset), priority(Priority::Normal) {}

std::string MailInfo::encode(const std::string& value) const
{
    bool plain = true;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0)
            break;
        if (byte < 0x20 || byte > 0x40) {
            plain = false;
            break;
        }
    }
    if (plain)
        return value;
    return "=?" + charset + "?B?" + Base64Helper::encode(value) + "?=";
}

void MailInfo::setSenderName(const std::string& name)
{
    senderName = encode(name);
}

void MailInfo::setSenderAddress(const std::string& address)
{
    senderAddress = address;
}

void MailInfo::setReceiver(const std::string& name, const std::string& address)
{
    receivers.clear();
    receivers.emplace(encode(name), address);
}

void MailInfo::setPriority(const std::string& value)
{
    priority = value;
}

void MailInfo::setSubject(const std::string& value)
{
    subject = encode(value);
}

void MailInfo::addMimeContent(MimeContent* content)
{
    contents.push_back(content);
}

} // namespace SMailer
