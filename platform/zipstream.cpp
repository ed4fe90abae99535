#include "platform/zipstream.h"

#include <zlib.h>

#include <cerrno>
#include <ctime>
#include <memory>

#include <unistd.h>

namespace {

constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::uint32_t kDataDescriptor = 0x08074b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kZip64End = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kEnd = 0x06054b50;
constexpr std::uint16_t kFlags = 0x0008 | 0x0800; // sizes in the data descriptor; UTF-8 names
constexpr std::uint16_t kDeflate = 8;
constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;
constexpr std::size_t kPiece = 256 * 1024;
// Deflate can grow incompressible data a little; an entry this close to 4 GiB gets ZIP64 sizes.
constexpr std::uint64_t kZip64Threshold = kMax32 - 64ull * 1024 * 1024;

void put16(std::string& out, std::uint16_t value)
{
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

void put32(std::string& out, std::uint32_t value)
{
    put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
    put16(out, static_cast<std::uint16_t>(value >> 16));
}

void put64(std::string& out, std::uint64_t value)
{
    put32(out, static_cast<std::uint32_t>(value & kMax32));
    put32(out, static_cast<std::uint32_t>(value >> 32));
}

// MS-DOS date and time of the local time; 1980-01-01 for anything earlier.
void dosTime(std::int64_t mtime, std::uint16_t& time, std::uint16_t& date)
{
    const std::time_t when = static_cast<std::time_t>(mtime);
    std::tm t{};
    if (!localtime_r(&when, &t) || t.tm_year < 80) {
        time = 0;
        date = (1 << 5) | 1;
        return;
    }
    time = static_cast<std::uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
    date = static_cast<std::uint16_t>(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
}

struct Deflater {
    z_stream stream{};
    bool ready = false;
    ~Deflater()
    {
        if (ready)
            deflateEnd(&stream);
    }
};

} // namespace

ZipStreamWriter::ZipStreamWriter(Output output, int level) : m_output(std::move(output)), m_level(level) {}

bool ZipStreamWriter::write(const char* data, std::size_t size)
{
    if (size == 0)
        return true;
    if (!m_output(data, size)) {
        if (m_error == 0)
            m_error = errno != 0 ? errno : EIO;
        return false;
    }
    m_offset += size;
    return true;
}

bool ZipStreamWriter::write(const std::string& bytes)
{
    return write(bytes.data(), bytes.size());
}

bool ZipStreamWriter::addFile(const std::string& nameUtf8, int fd, std::uint64_t maxBytes, std::int64_t mtime,
                              Added* added)
{
    Entry entry;
    entry.name = nameUtf8.size() > 0xFFFF ? nameUtf8.substr(0, 0xFFFF) : nameUtf8;
    entry.offset = m_offset;
    entry.zip64 = maxBytes >= kZip64Threshold;
    dosTime(mtime, entry.time, entry.date);

    std::string header;
    put32(header, kLocalHeader);
    put16(header, entry.zip64 ? 45 : 20);
    put16(header, kFlags);
    put16(header, kDeflate);
    put16(header, entry.time);
    put16(header, entry.date);
    put32(header, 0); // CRC and sizes follow in the data descriptor
    put32(header, entry.zip64 ? kMax32 : 0);
    put32(header, entry.zip64 ? kMax32 : 0);
    put16(header, static_cast<std::uint16_t>(entry.name.size()));
    put16(header, entry.zip64 ? 20 : 0);
    header += entry.name;
    if (entry.zip64) {
        put16(header, 0x0001);
        put16(header, 16);
        put64(header, 0);
        put64(header, 0);
    }
    if (!write(header))
        return false;

    Deflater deflater;
    if (deflateInit2(&deflater.stream, m_level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        m_error = ENOMEM;
        return false;
    }
    deflater.ready = true;
    std::unique_ptr<unsigned char[]> in(new unsigned char[kPiece]);
    std::unique_ptr<unsigned char[]> out(new unsigned char[kPiece]);
    std::uint32_t crc = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
    std::uint64_t total = 0;
    bool atEnd = false;
    while (!atEnd) {
        const std::uint64_t left = maxBytes - total;
        const std::size_t want = left < kPiece ? static_cast<std::size_t>(left) : kPiece;
        ssize_t got = 0;
        if (want > 0) {
            do {
                got = ::read(fd, in.get(), want);
            } while (got < 0 && errno == EINTR);
            if (got < 0) {
                m_error = errno;
                return false;
            }
        }
        atEnd = got == 0;
        crc = static_cast<std::uint32_t>(crc32(crc, in.get(), static_cast<uInt>(got)));
        total += static_cast<std::uint64_t>(got);
        deflater.stream.next_in = in.get();
        deflater.stream.avail_in = static_cast<uInt>(got);
        do {
            deflater.stream.next_out = out.get();
            deflater.stream.avail_out = static_cast<uInt>(kPiece);
            const int rc = deflate(&deflater.stream, atEnd ? Z_FINISH : Z_NO_FLUSH);
            if (rc == Z_STREAM_ERROR) {
                m_error = EIO;
                return false;
            }
            const std::size_t produced = kPiece - deflater.stream.avail_out;
            if (!write(reinterpret_cast<const char*>(out.get()), produced))
                return false;
            entry.compressed += produced;
        } while (deflater.stream.avail_out == 0);
    }
    entry.size = total;
    entry.crc = crc;

    std::string descriptor;
    put32(descriptor, kDataDescriptor);
    put32(descriptor, entry.crc);
    if (entry.zip64) {
        put64(descriptor, entry.compressed);
        put64(descriptor, entry.size);
    } else {
        put32(descriptor, static_cast<std::uint32_t>(entry.compressed));
        put32(descriptor, static_cast<std::uint32_t>(entry.size));
    }
    if (!write(descriptor))
        return false;
    if (added)
        *added = {entry.size, entry.crc};
    m_entries.push_back(std::move(entry));
    return true;
}

bool ZipStreamWriter::finish()
{
    const std::uint64_t directoryOffset = m_offset;
    for (const Entry& entry : m_entries) {
        const bool bigSizes = entry.zip64 || entry.size >= kMax32 || entry.compressed >= kMax32;
        const bool bigOffset = entry.offset >= kMax32;
        std::string extra;
        if (bigSizes || bigOffset) {
            std::string fields;
            if (bigSizes) {
                put64(fields, entry.size);
                put64(fields, entry.compressed);
            }
            if (bigOffset)
                put64(fields, entry.offset);
            put16(extra, 0x0001);
            put16(extra, static_cast<std::uint16_t>(fields.size()));
            extra += fields;
        }
        std::string header;
        put32(header, kCentralHeader);
        put16(header, (3 << 8) | 45); // made on Unix, by a ZIP64-aware writer
        put16(header, (bigSizes || bigOffset) ? 45 : 20);
        put16(header, kFlags);
        put16(header, kDeflate);
        put16(header, entry.time);
        put16(header, entry.date);
        put32(header, entry.crc);
        put32(header, bigSizes ? kMax32 : static_cast<std::uint32_t>(entry.compressed));
        put32(header, bigSizes ? kMax32 : static_cast<std::uint32_t>(entry.size));
        put16(header, static_cast<std::uint16_t>(entry.name.size()));
        put16(header, static_cast<std::uint16_t>(extra.size()));
        put16(header, 0); // no comment
        put16(header, 0); // disk
        put16(header, 0); // internal attributes
        put32(header, 0100644u << 16); // a plain file, rw-r--r--
        put32(header, bigOffset ? kMax32 : static_cast<std::uint32_t>(entry.offset));
        header += entry.name;
        header += extra;
        if (!write(header))
            return false;
    }
    const std::uint64_t directorySize = m_offset - directoryOffset;
    const std::uint64_t count = m_entries.size();
    const bool zip64 = count >= 0xFFFF || directoryOffset >= kMax32 || directorySize >= kMax32;
    std::string end;
    if (zip64) {
        const std::uint64_t zip64EndOffset = m_offset;
        put32(end, kZip64End);
        put64(end, 44);
        put16(end, (3 << 8) | 45);
        put16(end, 45);
        put32(end, 0);
        put32(end, 0);
        put64(end, count);
        put64(end, count);
        put64(end, directorySize);
        put64(end, directoryOffset);
        put32(end, kZip64Locator);
        put32(end, 0);
        put64(end, zip64EndOffset);
        put32(end, 1);
    }
    put32(end, kEnd);
    put16(end, 0);
    put16(end, 0);
    put16(end, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
    put16(end, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
    put32(end, zip64 ? kMax32 : static_cast<std::uint32_t>(directorySize));
    put32(end, zip64 ? kMax32 : static_cast<std::uint32_t>(directoryOffset));
    put16(end, 0);
    return write(end);
}
