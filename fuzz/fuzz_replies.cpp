// Arbitrary server bytes, split anywhere: the reply reader cuts the same replies either way and
// never takes more than the cap without failing.
#include "smailer/replyreader.h"

#include <cstdlib>
#include <string>
#include <vector>

using SMailer::ReplyReader;

namespace {
std::vector<std::string> cut(const uint8_t* data, size_t size, size_t step)
{
    ReplyReader reader;
    std::vector<std::string> replies;
    ReplyReader::Reply reply;
    for (size_t offset = 0; offset < size; offset += step) {
        const size_t n = size - offset < step ? size - offset : step;
        reader.feed(reinterpret_cast<const char*>(data) + offset, n);
        while (reader.next(reply)) {
            if (reply.text.size() > ReplyReader::kMaxReplySize || reply.code.size() > 3)
                std::abort();
            replies.push_back(reply.code + '|' + reply.text);
        }
        if (reader.overflowed()) {
            replies.push_back("overflow");
            break;
        }
    }
    return replies;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t step = 1 + data[0] % 17;
    const auto whole = cut(data + 1, size - 1, size);
    const auto pieces = cut(data + 1, size - 1, step);
    // Overflow may be noticed at different points; compare only what came before it.
    const size_t common = whole.size() < pieces.size() ? whole.size() : pieces.size();
    for (size_t i = 0; i < common; ++i) {
        if (whole[i] != pieces[i] && whole[i] != "overflow" && pieces[i] != "overflow")
            std::abort();
    }
    return 0;
}
