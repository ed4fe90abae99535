// The DATA transparency filter. Properties: no bare CR or LF and no lone "." line ever comes out;
// removing the stuffing gives back the input with its line ends made CRLF; the split point does
// not matter.
#include "smailer/datafilter.h"

#include <cstdlib>
#include <string>

namespace {

std::string normalised(const std::string& in)
{
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\r') {
            out += "\r\n";
            if (i + 1 < in.size() && in[i + 1] == '\n')
                ++i;
        } else if (in[i] == '\n') {
            out += "\r\n";
        } else {
            out += in[i];
        }
    }
    const bool ended = out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0;
    if (!out.empty() && !ended)
        out += "\r\n";
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t split = data[0] % size;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    SMailer::DataFilter filter;
    std::string wire;
    filter.feed(input.data(), split < input.size() ? split : input.size(), wire);
    if (split < input.size())
        filter.feed(input.data() + split, input.size() - split, wire);
    filter.finish(wire);

    SMailer::DataFilter whole;
    std::string once;
    whole.feed(input.data(), input.size(), once);
    whole.finish(once);
    if (once != wire)
        std::abort();

    std::string unstuffed;
    size_t lineStart = 0;
    while (lineStart < wire.size()) {
        const size_t crlf = wire.find("\r\n", lineStart);
        if (crlf == std::string::npos)
            std::abort(); // the last line is not ended
        std::string line = wire.substr(lineStart, crlf - lineStart);
        if (line.find('\r') != std::string::npos || line.find('\n') != std::string::npos)
            std::abort(); // bare CR or LF
        if (line == ".")
            std::abort(); // would end the mail
        if (!line.empty() && line[0] == '.')
            line.erase(0, 1);
        unstuffed += line + "\r\n";
        lineStart = crlf + 2;
    }
    std::string expected = input.empty() ? std::string() : normalised(input);
    if (unstuffed != expected)
        std::abort();
    return 0;
}
