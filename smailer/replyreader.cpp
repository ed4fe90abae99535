#include "smailer/replyreader.h"

namespace SMailer {

bool ReplyReader::next(Reply& reply)
{
    std::size_t lineStart = 0;
    const std::size_t limit = m_buffer.size() < kMaxReplySize ? m_buffer.size() : kMaxReplySize;
    while (lineStart < limit) {
        const std::size_t lf = m_buffer.find('\n', lineStart);
        if (lf == std::string::npos || lf >= limit)
            return false;
        std::size_t lineEnd = lf;
        if (lineEnd > lineStart && m_buffer[lineEnd - 1] == '\r')
            --lineEnd;
        const bool continues = lineEnd - lineStart >= 4 && m_buffer[lineStart + 3] == '-';
        if (!continues) {
            const std::size_t codeLength = lineEnd - lineStart < 3 ? lineEnd - lineStart : 3;
            reply.code = m_buffer.substr(lineStart, codeLength);
            reply.text = m_buffer.substr(0, lf + 1);
            m_buffer.erase(0, lf + 1);
            return true;
        }
        lineStart = lf + 1;
    }
    return false;
}

bool ReplyReader::overflowed() const
{
    if (m_buffer.size() < kMaxReplySize)
        return false;
    ReplyReader probe = *this;
    Reply ignored;
    return !probe.next(ignored);
}

} // namespace SMailer
