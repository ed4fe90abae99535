#include "archive/zipreader.h"

#include "archive/zipsignatures.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace ZipSignature;

std::uint64_t little(const unsigned char* p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

bool readAt(int fd, std::uint64_t offset, void* buffer, std::size_t size)
{
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out += got;
        offset += static_cast<std::uint64_t>(got);
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

struct Entry {
    std::string name;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressed = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
};

bool plainName(const std::string& name)
{
    return !name.empty() && name[0] != '.' && name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// Copies one entry's data (at its local header) into out, checking size and CRC.
bool extract(int fd, std::uint64_t archiveSize, const Entry& entry, int out)
{
    unsigned char local[30];
    if (entry.offset + 30 > archiveSize || !readAt(fd, entry.offset, local, sizeof local) ||
        little(local, 4) != kLocalHeader)
        return false;
    std::uint64_t at = entry.offset + 30 + little(local + 26, 2) + little(local + 28, 2);
    if (at + entry.compressed > archiveSize)
        return false;
    z_stream z{};
    if (entry.method == 8 && inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return false;
    const std::unique_ptr<z_stream, void (*)(z_stream*)> owner(&z, [](z_stream* s) { inflateEnd(s); });
    std::vector<unsigned char> in(1 << 16);
    std::vector<unsigned char> buffer(1 << 16);
    std::uint64_t left = entry.compressed;
    std::uint64_t produced = 0;
    std::uint32_t crc = crc32(0, nullptr, 0);
    int status = Z_OK;
    while (left > 0 && status != Z_STREAM_END) {
        const std::size_t piece = static_cast<std::size_t>(left < in.size() ? left : in.size());
        if (!readAt(fd, at, in.data(), piece))
            return false;
        at += piece;
        left -= piece;
        if (entry.method == 0) {
            produced += piece;
            crc = crc32(crc, in.data(), static_cast<uInt>(piece));
            if (produced > entry.size || !writeAll(out, in.data(), piece))
                return false;
            continue;
        }
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(piece);
        while (z.avail_in > 0 && status != Z_STREAM_END) {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            status = inflate(&z, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END)
                return false;
            const std::size_t got = buffer.size() - z.avail_out;
            produced += got;
            crc = crc32(crc, buffer.data(), static_cast<uInt>(got));
            if (produced > entry.size || !writeAll(out, buffer.data(), got))
                return false;
        }
    }
    return produced == entry.size && crc == entry.crc && (entry.method == 0 || status == Z_STREAM_END);
}

} // namespace

bool ZipExtractEntries(int fd, std::uint64_t archiveSize, std::size_t firstIndex, const std::string& folder,
                       std::vector<std::string>& written)
{
    // The writer leaves no archive comment: the end record closes the file.
    unsigned char end[22];
    if (archiveSize < sizeof end || !readAt(fd, archiveSize - sizeof end, end, sizeof end) || little(end, 4) != kEnd)
        return false;
    std::uint64_t count = little(end + 10, 2);
    std::uint64_t directorySize = little(end + 12, 4);
    std::uint64_t directory = little(end + 16, 4);
    if (count == 0xFFFF || directorySize == 0xFFFFFFFF || directory == 0xFFFFFFFF) {
        unsigned char locator[20];
        unsigned char end64[56];
        if (archiveSize < sizeof end + sizeof locator ||
            !readAt(fd, archiveSize - sizeof end - sizeof locator, locator, sizeof locator) ||
            little(locator, 4) != kZip64Locator)
            return false;
        const std::uint64_t at = little(locator + 8, 8);
        if (at + sizeof end64 > archiveSize || !readAt(fd, at, end64, sizeof end64) || little(end64, 4) != kZip64End)
            return false;
        count = little(end64 + 32, 8);
        directorySize = little(end64 + 40, 8);
        directory = little(end64 + 48, 8);
    }
    if (directory + directorySize > archiveSize || directorySize > (64u << 20))
        return false;
    std::vector<unsigned char> records(static_cast<std::size_t>(directorySize));
    if (!readAt(fd, directory, records.data(), records.size()))
        return false;
    std::vector<Entry> entries;
    std::size_t at = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (at + 46 > records.size() || little(&records[at], 4) != kCentralHeader)
            return false;
        const unsigned char* r = &records[at];
        Entry entry;
        entry.method = static_cast<std::uint16_t>(little(r + 10, 2));
        entry.crc = static_cast<std::uint32_t>(little(r + 16, 4));
        entry.compressed = little(r + 20, 4);
        entry.size = little(r + 24, 4);
        entry.offset = little(r + 42, 4);
        const std::size_t nameLength = little(r + 28, 2);
        const std::size_t extraLength = little(r + 30, 2);
        const std::size_t commentLength = little(r + 32, 2);
        if (at + 46 + nameLength + extraLength + commentLength > records.size())
            return false;
        entry.name.assign(reinterpret_cast<const char*>(r + 46), nameLength);
        // ZIP64: the fields that overflowed, in this order, in the extra field 0x0001.
        for (std::size_t e = 0; e + 4 <= extraLength;) {
            const unsigned char* x = r + 46 + nameLength + e;
            const std::size_t length = little(x + 2, 2);
            if (e + 4 + length > extraLength)
                return false;
            if (little(x, 2) == 1) {
                std::size_t f = 4;
                for (std::uint64_t* field : {&entry.size, &entry.compressed, &entry.offset}) {
                    if (*field != 0xFFFFFFFF)
                        continue;
                    if (f + 8 > 4 + length)
                        return false;
                    *field = little(x + f, 8);
                    f += 8;
                }
            }
            e += 4 + length;
        }
        if (entry.method != 0 && entry.method != 8)
            return false;
        entries.push_back(entry);
        at += 46 + nameLength + extraLength + commentLength;
    }
    for (std::size_t i = firstIndex; i < entries.size(); ++i) {
        if (!plainName(entries[i].name))
            continue;
        const std::string path = folder + "/" + entries[i].name;
        const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out < 0)
            continue; // the same name twice: the first is kept
        const bool ok = extract(fd, archiveSize, entries[i], out);
        ::close(out);
        if (!ok) {
            ::unlink(path.c_str());
            return false;
        }
        written.push_back(path);
    }
    return true;
}
