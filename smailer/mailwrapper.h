#pragma once

#include "smailer/mimecontent.h"

#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace SMailer {

class MailInfo;

// Turns a mail record into the text sent after DATA: header block, multipart/mixed parts with the
// boundary "#BOUNDARY#", and the end text with the end-of-data line. One thread at a time; the
// record must outlive the wrapper. Texts are returned as the message format has them (the
// attachment's base64 lines end in LF); the sender makes every line end in CRLF on the wire.
class MailWrapper {
public:
    MailWrapper(MailInfo* mailInfo, int multipart);

    std::string getHeader();
    std::string getSenderAddress() const;

    void traverseReceiver();
    bool hasMoreReceiver() const;
    std::string nextReceiverAddress();

    void traverseContent();
    bool hasMoreContent() const;
    std::string nextPart();
    // Writes the same bytes as nextPart() to sink in pieces, never holding the body whole.
    void nextPartTo(const ContentSink& sink);

    std::string getSinglePartBody();
    std::string getEnd() const;

    int isMultipart() const { return multipart; }

    // The message's size as it goes over the wire after DATA (line ends CRLF, transparency dots
    // counted, the end-of-data line not): exact, and without reading attachments whose size is
    // known; an upper bound when an attachment is still being written. Leaves the cursors at their
    // start.
    std::uint64_t wireSize();

    // The clock of the Date line; std::time by default. For tests.
    void setClock(std::function<std::time_t()> clock) { this->clock = std::move(clock); }

private:
    std::string prepareFrom() const;
    std::string prepareTo();
    std::string prepareDate() const;
    static std::string prepareName(const std::string& name);
    std::string partHead(MimeContent* content) const;

    int multipart;
    MailInfo* mailInfo;
    std::multimap<std::string, std::string>::const_iterator receiverCursor;
    std::string partText;
    std::vector<MimeContent*>::const_iterator contentCursor;
    std::function<std::time_t()> clock;
};

} // namespace SMailer
