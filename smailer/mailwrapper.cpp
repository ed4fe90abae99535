#include "smailer/mailwrapper.h"

#include "smailer/datafilter.h"
#include "smailer/mailconstants.h"
#include "smailer/mailinfo.h"

#include <cstdio>

namespace SMailer {

MailWrapper::MailWrapper(MailInfo* mailInfo, int multipart)
    : multipart(multipart), mailInfo(mailInfo), receiverCursor(mailInfo->receivers.cend()),
      contentCursor(mailInfo->contents.cend()), clock([] { return std::time(nullptr); })
{
}

std::string MailWrapper::prepareName(const std::string& name)
{
    if (name.empty())
        return std::string();
    return "\"" + name + "\" ";
}

std::string MailWrapper::prepareFrom() const
{
    return prepareName(mailInfo->senderName) + "<" + mailInfo->senderAddress + ">";
}

std::string MailWrapper::prepareTo()
{
    std::string to;
    traverseReceiver();
    while (hasMoreReceiver()) {
        const std::string name = receiverCursor->first;
        to += prepareName(name) + nextReceiverAddress() + ", ";
    }
    if (to.size() >= 2)
        to.erase(to.size() - 2);
    return to;
}

std::string MailWrapper::prepareDate() const
{
    // Written out by hand: strftime's names follow the process locale, which the GUI toolkit
    // sets from the environment; the mail wants the English names of the "C" locale. The line
    // always says "+0800", so it carries the instant as it reads at UTC+8, whatever the local
    // zone: the stated time is true everywhere.
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t atUtcPlus8 = clock() + 8 * 3600;
    std::tm t{};
    gmtime_r(&atUtcPlus8, &t);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d +0800", kDays[t.tm_wday % 7], t.tm_mday,
                  kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return buffer;
}

std::string MailWrapper::getHeader()
{
    std::string header;
    header += "From: " + prepareFrom() + "\r\n";
    header += "To: " + prepareTo() + "\r\n";
    header += "Date: " + prepareDate() + "\r\n";
    if (!mailInfo->messageId.empty())
        header += "Message-ID: " + mailInfo->messageId + "\r\n";
    for (const auto& [name, value] : mailInfo->extraHeaders)
        header += name + ": " + value + "\r\n";
    header += "Subject: " + mailInfo->subject + "\r\n";
    header += std::string("X-Mailer: ") + MailerName + "\r\n";
    header += "X-Priority: " + mailInfo->priority + "\r\n";
    header += "MIME-Version: 1.0\r\n";
    contentCursor = mailInfo->contents.cbegin();
    if (multipart != 0 || mailInfo->contents.empty()) {
        header += std::string("Content-type: multipart/mixed; boundary=\"") + Boundary + "\"\r\n";
        multipart = 1;
    } else {
        MimeContent* first = mailInfo->contents.front();
        header += "Content-Type: " + first->getType() + "\r\n";
        header += "Content-Transfer-Encoding: " + first->getTransEncoding() + "\r\n";
    }
    header += "\r\n";
    return header;
}

std::string MailWrapper::getSenderAddress() const
{
    return "<" + mailInfo->senderAddress + ">";
}

void MailWrapper::traverseReceiver()
{
    receiverCursor = mailInfo->receivers.cbegin();
}

bool MailWrapper::hasMoreReceiver() const
{
    return receiverCursor != mailInfo->receivers.cend();
}

std::string MailWrapper::nextReceiverAddress()
{
    std::string address = "<" + receiverCursor->second + ">";
    ++receiverCursor;
    return address;
}

void MailWrapper::traverseContent()
{
    contentCursor = mailInfo->contents.cbegin();
}

bool MailWrapper::hasMoreContent() const
{
    return contentCursor != mailInfo->contents.cend();
}

std::string MailWrapper::partHead(MimeContent* content) const
{
    std::string head = std::string("--") + Boundary + "\r\n";
    head += "Content-Type: " + content->getType() + "\r\n";
    const std::string disposition = content->getDisposition();
    if (!disposition.empty())
        head += "Content-Disposition: " + disposition + "\r\n";
    head += "Content-Transfer-Encoding: " + content->getTransEncoding() + "\r\n\r\n";
    return head;
}

std::string MailWrapper::nextPart()
{
    std::string text;
    nextPartTo([&text](const char* data, std::size_t size) { text.append(data, size); });
    partText = std::move(text);
    return partText;
}

void MailWrapper::nextPartTo(const ContentSink& sink)
{
    MimeContent* content = *contentCursor++;
    partText = partHead(content);
    sink(partText.data(), partText.size());
    content->writeContent(sink);
    sink("\r\n\r\n", 4);
}

std::uint64_t MailWrapper::wireSize()
{
    std::uint64_t total = 0;
    DataFilter filter;
    std::string wire;
    const auto count = [&](const char* data, std::size_t size) {
        wire.clear();
        filter.feed(data, size, wire);
        total += wire.size();
    };
    const std::string header = getHeader();
    count(header.data(), header.size());
    if (multipart == 0) {
        const std::string body = getSinglePartBody();
        count(body.data(), body.size());
    } else {
        for (MimeContent* content : mailInfo->contents) {
            const std::string head = partHead(content);
            count(head.data(), head.size());
            std::uint64_t body = 0;
            if (content->wireSize(body))
                total += body; // whole lines: the filter stays at a line start
            else
                content->writeContent(count);
            count("\r\n\r\n", 4);
        }
    }
    std::string end = getEnd();
    end.erase(end.size() - 3); // the end-of-data line is not part of the message
    count(end.data(), end.size());
    wire.clear();
    filter.finish(wire);
    total += wire.size();
    traverseContent();
    traverseReceiver();
    return total;
}

std::string MailWrapper::getSinglePartBody()
{
    contentCursor = mailInfo->contents.cbegin();
    if (contentCursor == mailInfo->contents.cend())
        return std::string();
    return (*contentCursor)->getContent();
}

std::string MailWrapper::getEnd() const
{
    if (multipart != 0)
        return std::string("\r\n--") + Boundary + "--\r\n" + ".\r\n";
    return "\r\n.\r\n";
}

} // namespace SMailer
