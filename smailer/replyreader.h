#pragma once

#include <cstddef>
#include <string>

namespace SMailer {

// Collects server bytes and cuts them into whole SMTP replies: lines "NNN-..." continue a reply,
// any other line ends it. Line ends are LF with an optional CR before it. Bytes after a reply
// stay for the next one. Pure logic, no I/O.
class ReplyReader {
public:
    // A reply larger than this (all its lines together) is refused.
    static constexpr std::size_t kMaxReplySize = 64 * 1024;

    struct Reply {
        std::string code; // the first three characters of the last line (fewer if it is shorter)
        std::string text; // all lines, as received
    };

    void feed(const char* data, std::size_t size) { m_buffer.append(data, size); }
    // Takes the next whole reply off the buffer; false when none is complete yet.
    bool next(Reply& reply);
    // True when the bytes waiting exceed kMaxReplySize without a whole reply in them.
    bool overflowed() const;
    std::size_t pending() const { return m_buffer.size(); }

private:
    std::string m_buffer;
};

} // namespace SMailer
