#include "textplaincontent.h"

namespace SMailer {

TextPlainContent::TextPlainContent(std::string content, std::string charset)
    : MimeContent(content), charset(std::move(charset))
{
}

std::string TextPlainContent::getType() const
{
    return "text/plain; charset=" + charset;
}

std::string TextPlainContent::getTransEncoding() const
{
    return "8bit";
}

std::string& TextPlainContent::getContent()
{
    return content;
}

} // namespace SMailer
