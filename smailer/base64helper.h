#pragma once

#include <cstddef>
#include <string>

namespace SMailer {

// Base64 of RFC 4648 (standard alphabet, "=" padding). Pure functions; any thread.
class Base64Helper {
public:
    // One unbroken line, whatever the length; empty for empty input.
    static std::string encode(const std::string& bytes);

    // Bytes per attachment line: 57 bytes make one line of 76 characters.
    static constexpr std::size_t kLineBytes = 57;

    // Appends the base64 of data to out in attachment lines: every 57 input bytes (the last line
    // may hold fewer) give one line ended by a lone LF. Call with whole 57-byte multiples except
    // for the last piece of an attachment, so that lines never break early.
    static void encodeLines(const unsigned char* data, std::size_t size, std::string& out);
};

} // namespace SMailer
