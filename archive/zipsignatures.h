#pragma once

#include <cstdint>

// The record signatures of the ZIP format (APPNOTE 4.3), shared by the writer and the reader so
// that both speak of the same records.
namespace ZipSignature {
constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::uint32_t kDataDescriptor = 0x08074b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kZip64End = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kEnd = 0x06054b50;
} // namespace ZipSignature
