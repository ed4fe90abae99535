#pragma once

#include "smailer/mimecontent.h"

namespace SMailer {

// A text part in the encoding that charset names. Sent as given ("8bit"), unless a line of it is
// longer than SMTP allows (998 octets): then the part goes out base64-encoded, so that the text
// arrives whole instead of the mail being refused.
class TextPlainContent final : public MimeContent {
public:
    TextPlainContent(std::string content, std::string charset);

    std::string getType() const override;
    std::string getTransEncoding() const override;
    std::string& getContent() override;

    static constexpr std::size_t kMaxLineOctets = 998;

private:
    std::string charset;
    bool needsBase64;
    std::string encoded;
};

} // namespace SMailer
