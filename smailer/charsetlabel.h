#pragma once

#include <string>

namespace SMailer {

// The charset label that tells the truth about GB18030 bytes: "gb2312" when every character is
// ASCII or a GB2312 cell that GB2312 readers decode to the same character, "GB18030" otherwise
// (four-byte sequences, GBK extensions, cells the two standards map differently). Ordinary
// Chinese text and ASCII keep the plain "gb2312" label. Pure; any thread.
std::string gbCharsetLabel(const std::string& gb18030Bytes);

} // namespace SMailer
