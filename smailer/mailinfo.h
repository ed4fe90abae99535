#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace SMailer {

class MimeContent;

// The mail record. Names and subject are stored as RFC 2047 "B" encoded words unless every byte
// lies in 0x20..0x40. Filled by one thread, then only read.
class MailInfo {
public:
    explicit MailInfo(const std::string& charset);
    MailInfo(const MailInfo&) = delete;
    MailInfo& operator=(const MailInfo&) = delete;

    void setSenderName(const std::string& name);
    void setSenderAddress(const std::string& address);
    // Replaces any receiver: the record holds exactly this one afterwards.
    void setReceiver(const std::string& name, const std::string& address);
    void setPriority(const std::string& priority);
    void setSubject(const std::string& subject);
    // The mail's Message-ID ("<unique@domain>"), written after the Date line; none when empty.
    void setMessageId(const std::string& id) { messageId = id; }
    // A header line of the caller's own ("Name: value"), written after the Message-ID.
    void addHeader(const std::string& name, const std::string& value) { extraHeaders.emplace_back(name, value); }
    // The part is not owned and must outlive every use of the record.
    void addMimeContent(MimeContent* content);

    std::string getSenderName() const { return senderName; }
    std::string getSenderAddress() const { return senderAddress; }
    std::string getPriority() const { return priority; }
    std::string getSubject() const { return subject; }
    std::string getMessageId() const { return messageId; }

    // The value as stored: unchanged, or one encoded word in this record's charset.
    std::string encode(const std::string& value) const;

private:
    friend class MailWrapper;

    std::string charset;
    std::string senderName;
    std::string senderAddress;
    std::multimap<std::string, std::string> receivers;
    std::string priority;
    std::string subject;
    std::vector<MimeContent*> contents;
    std::string messageId;
    std::vector<std::pair<std::string, std::string>> extraHeaders;
};

} // namespace SMailer
