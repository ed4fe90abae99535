#include "smailer/mimecontent.h"

namespace SMailer {

MimeContent::MimeContent(const std::string& content) : content(content) {}

std::string MimeContent::getDisposition() const
{
    return std::string();
}

void MimeContent::writeContent(const ContentSink& sink)
{
    const std::string& body = getContent();
    sink(body.data(), body.size());
}

bool MimeContent::wireSize(std::uint64_t&) const
{
    return false;
}

} // namespace SMailer
