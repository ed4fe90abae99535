#include "smailer/base64helper.h"

namespace SMailer {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Appends the characters of up to one 57-byte line, without its line end. out must have room.
char* encodeGroupRun(const unsigned char* in, std::size_t size, char* out)
{
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const unsigned b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
        *out++ = kAlphabet[b0 >> 2];
        *out++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        *out++ = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
        *out++ = kAlphabet[b2 & 63];
    }
    const std::size_t rest = size - i;
    if (rest == 1) {
        const unsigned b0 = in[i];
        *out++ = kAlphabet[b0 >> 2];
        *out++ = kAlphabet[(b0 & 3) << 4];
        *out++ = '=';
        *out++ = '=';
    } else if (rest == 2) {
        const unsigned b0 = in[i], b1 = in[i + 1];
        *out++ = kAlphabet[b0 >> 2];
        *out++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        *out++ = kAlphabet[(b1 & 15) << 2];
        *out++ = '=';
    }
    return out;
}

std::size_t encodedSize(std::size_t size)
{
    return (size + 2) / 3 * 4;
}

} // namespace

std::string Base64Helper::encode(const std::string& bytes)
{
    std::string result(encodedSize(bytes.size()), '\0');
    char* end = encodeGroupRun(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), result.data());
    result.resize(static_cast<std::size_t>(end - result.data()));
    return result;
}

void Base64Helper::encodeLines(const unsigned char* data, std::size_t size, std::string& out)
{
    if (size == 0)
        return;
    const std::size_t lines = (size + kLineBytes - 1) / kLineBytes;
    const std::size_t start = out.size();
    out.resize(start + encodedSize(size) + lines);
    char* cursor = out.data() + start;
    for (std::size_t offset = 0; offset < size; offset += kLineBytes) {
        const std::size_t piece = size - offset < kLineBytes ? size - offset : kLineBytes;
        cursor = encodeGroupRun(data + offset, piece, cursor);
        *cursor++ = '\n';
    }
    out.resize(static_cast<std::size_t>(cursor - out.data()));
}

} // namespace SMailer
