// Encoded words: a value is stored unchanged only when every byte before the first NUL lies in
// 0x20..0x40; otherwise it becomes one "B" encoded word whose base64 decodes to the value. Never a
// line break in a header value.
#include "smailer/mailinfo.h"

#include <cstdlib>
#include <string>

namespace {

std::string decodeBase64(const std::string& text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=')
            break;
        const size_t v = alphabet.find(c);
        if (v == std::string::npos)
            std::abort();
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string value(reinterpret_cast<const char*>(data), size);
    SMailer::MailInfo info("gb2312");
    info.setSubject(value);
    const std::string stored = info.getSubject();
    bool plain = true;
    for (unsigned char c : value) {
        if (c == 0)
            break;
        if (c < 0x20 || c > 0x40)
            plain = false;
    }
    if (plain) {
        if (stored != value)
            std::abort();
        return 0;
    }
    const std::string prefix = "=?gb2312?B?";
    if (stored.compare(0, prefix.size(), prefix) != 0 || stored.size() < prefix.size() + 2 ||
        stored.compare(stored.size() - 2, 2, "?=") != 0)
        std::abort();
    const std::string payload = stored.substr(prefix.size(), stored.size() - prefix.size() - 2);
    if (payload.find_first_of("\r\n") != std::string::npos || decodeBase64(payload) != value)
        std::abort();
    return 0;
}
