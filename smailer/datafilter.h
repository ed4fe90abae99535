#pragma once

#include <cstddef>
#include <string>

namespace SMailer {

// The transparency of the DATA stream (RFC 5321 4.5.2, 2.3.8): every line end becomes CRLF
// (bare LF and bare CR alike), and a line that begins with "." gets one more ".". State runs
// across pieces, so a text may be fed in pieces cut anywhere. Pure logic, no I/O.
class DataFilter {
public:
    // Appends the wire form of data to out.
    void feed(const char* data, std::size_t size, std::string& out);
    // Ends an open last line with CRLF, so that the end-of-data line can follow.
    void finish(std::string& out);
    void reset();

private:
    bool m_atLineStart = true;
    bool m_pendingCR = false;
};

} // namespace SMailer
