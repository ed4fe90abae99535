#include "smailer/charsetlabel.h"

#include <cstdint>

namespace SMailer {

namespace {

// Rows A1..F7 of GB2312: bit (trail - 0xA1) is set when the cell is assigned in GB2312 and decodes
// to the same character under GB2312 and GB18030. Made with Python's strict "gb2312" and
// "gb18030" codecs.
struct Row {
    std::uint64_t low;  // trails A1..E0
    std::uint64_t high; // trails E1..FE
};
constexpr Row kCells[] = {
    {0xfffffffffffffdf7ULL, 0x3fffffffULL}, // A1
    {0xffffffffffff0000ULL, 0x0fff3ff3ULL}, // A2
    {0xffffffffffffffffULL, 0x3fffffffULL}, // A3
    {0xffffffffffffffffULL, 0x0007ffffULL}, // A4
    {0xffffffffffffffffULL, 0x003fffffULL}, // A5
    {0x00ffffff00ffffffULL, 0x00000000ULL}, // A6
    {0xffff0001ffffffffULL, 0x0001ffffULL}, // A7
    {0xfffffff003ffffffULL, 0x000001ffULL}, // A8
    {0xfffffffffffffff8ULL, 0x00007fffULL}, // A9
    {0x0000000000000000ULL, 0x00000000ULL}, // AA
    {0x0000000000000000ULL, 0x00000000ULL}, // AB
    {0x0000000000000000ULL, 0x00000000ULL}, // AC
    {0x0000000000000000ULL, 0x00000000ULL}, // AD
    {0x0000000000000000ULL, 0x00000000ULL}, // AE
    {0x0000000000000000ULL, 0x00000000ULL}, // AF
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B0
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B1
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B2
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B3
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B4
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B5
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B6
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B7
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B8
    {0xffffffffffffffffULL, 0x3fffffffULL}, // B9
    {0xffffffffffffffffULL, 0x3fffffffULL}, // BA
    {0xffffffffffffffffULL, 0x3fffffffULL}, // BB
    {0xffffffffffffffffULL, 0x3fffffffULL}, // BC
    {0xffffffffffffffffULL, 0x3fffffffULL}, // BD
    {0xffffffffffffffffULL, 0x3fffffffULL}, // BE
    {0xffffffffffffffffULL, 0x3fffffffULL}, // BF
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C0
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C1
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C2
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C3
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C4
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C5
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C6
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C7
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C8
    {0xffffffffffffffffULL, 0x3fffffffULL}, // C9
    {0xffffffffffffffffULL, 0x3fffffffULL}, // CA
    {0xffffffffffffffffULL, 0x3fffffffULL}, // CB
    {0xffffffffffffffffULL, 0x3fffffffULL}, // CC
    {0xffffffffffffffffULL, 0x3fffffffULL}, // CD
    {0xffffffffffffffffULL, 0x3fffffffULL}, // CE
    {0xffffffffffffffffULL, 0x3fffffffULL}, // CF
    {0xffffffffffffffffULL, 0x3fffffffULL}, // D0
    {0xffffffffffffffffULL, 0x3fffffffULL}, // D1
    {0xffffffffffffffffULL, 0x3fffffffULL}, // D2
    {0xffffffffffffffffULL, 0x3fffffffULL}, // D3
    {0xffffffffffffffffULL, 0x3fffffffULL}, // D4
    {0xffffffffffffffffULL, 0x3fffffffULL}, // D5
    {0xffffffffffffffffULL, 0x3fffffffULL}, // D6
    {0xffffffffffffffffULL, 0x01ffffffULL}, // D7
    {0xffffffffffffffffULL, 0x3fffffffULL}, // D8
    {0xffffffffffffffffULL, 0x3fffffffULL}, // D9
    {0xffffffffffffffffULL, 0x3fffffffULL}, // DA
    {0xffffffffffffffffULL, 0x3fffffffULL}, // DB
    {0xffffffffffffffffULL, 0x3fffffffULL}, // DC
    {0xffffffffffffffffULL, 0x3fffffffULL}, // DD
    {0xffffffffffffffffULL, 0x3fffffffULL}, // DE
    {0xffffffffffffffffULL, 0x3fffffffULL}, // DF
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E0
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E1
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E2
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E3
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E4
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E5
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E6
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E7
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E8
    {0xffffffffffffffffULL, 0x3fffffffULL}, // E9
    {0xffffffffffffffffULL, 0x3fffffffULL}, // EA
    {0xffffffffffffffffULL, 0x3fffffffULL}, // EB
    {0xffffffffffffffffULL, 0x3fffffffULL}, // EC
    {0xffffffffffffffffULL, 0x3fffffffULL}, // ED
    {0xffffffffffffffffULL, 0x3fffffffULL}, // EE
    {0xffffffffffffffffULL, 0x3fffffffULL}, // EF
    {0xffffffffffffffffULL, 0x3fffffffULL}, // F0
    {0xffffffffffffffffULL, 0x3fffffffULL}, // F1
    {0xffffffffffffffffULL, 0x3fffffffULL}, // F2
    {0xffffffffffffffffULL, 0x3fffffffULL}, // F3
    {0xffffffffffffffffULL, 0x3fffffffULL}, // F4
    {0xffffffffffffffffULL, 0x3fffffffULL}, // F5
    {0xffffffffffffffffULL, 0x3fffffffULL}, // F6
    {0xffffffffffffffffULL, 0x3fffffffULL}, // F7
};

bool isGb2312Cell(unsigned char lead, unsigned char trail)
{
    if (lead < 0xA1 || lead > 0xF7 || trail < 0xA1 || trail > 0xFE)
        return false;
    const Row& row = kCells[lead - 0xA1];
    const unsigned bit = trail - 0xA1u;
    return bit < 64 ? ((row.low >> bit) & 1u) != 0 : ((row.high >> (bit - 64)) & 1u) != 0;
}

} // namespace

std::string gbCharsetLabel(const std::string& gb18030Bytes)
{
    const std::size_t size = gb18030Bytes.size();
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(gb18030Bytes[i]);
        if (byte < 0x80)
            continue;
        if (i + 1 >= size || !isGb2312Cell(byte, static_cast<unsigned char>(gb18030Bytes[i + 1])))
            return "GB18030";
        ++i;
    }
    return "gb2312";
}

} // namespace SMailer
