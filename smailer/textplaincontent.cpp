#include "smailer/textplaincontent.h"

#include "smailer/base64helper.h"

namespace SMailer {

namespace {

bool hasOverlongLine(const std::string& text)
{
    std::size_t length = 0;
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            length = 0;
        } else if (++length > TextPlainContent::kMaxLineOctets) {
            return true;
        }
    }
    return false;
}

} // namespace

TextPlainContent::TextPlainContent(std::string content, std::string charset)
    : MimeContent(content), charset(std::move(charset)), needsBase64(hasOverlongLine(this->content))
{
    if (needsBase64)
        Base64Helper::encodeLines(reinterpret_cast<const unsigned char*>(this->content.data()), this->content.size(),
                                  encoded);
}

std::string TextPlainContent::getType() const
{
    return "text/plain; charset=" + charset;
}

std::string TextPlainContent::getTransEncoding() const
{
    return needsBase64 ? "base64" : "8bit";
}

std::string& TextPlainContent::getContent()
{
    return needsBase64 ? encoded : content;
}

} // namespace SMailer
