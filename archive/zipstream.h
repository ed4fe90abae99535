#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Writes a standard ZIP archive (PKWARE APPNOTE) front to back, as a stream: each entry is a
// local header, its deflated data and a data descriptor, and the central directory follows the
// last entry, so nothing is ever sought back and the output can be a file, a pipe or a mail.
// ZIP64 records are written where a size or an offset needs them. Entry names are UTF-8 (flag
// bit 11). Memory stays flat whatever the sizes. An entry is deflated on several threads at once
// (one standard deflate stream, made of blocks); the writer itself belongs to one thread at a time.
// No Qt.
class ZipStreamWriter {
public:
    // Receives the archive's bytes in order; false stops the archive (a write error).
    using Output = std::function<bool(const char* data, std::size_t size)>;

    // threads: how many compress at once; 0 for every core this process may run on.
    explicit ZipStreamWriter(Output output, int level = 6, unsigned threads = 0);

    struct Added {
        std::uint64_t size = 0; // bytes read from the source and stored
        std::uint32_t crc = 0;
    };

    // Adds the open file fd (read from its current position) under nameUtf8, reading at most
    // maxBytes (the size it had when it was looked at: a file that grows meanwhile is stored as it
    // was). False on a read or write error; the archive is then of no further use.
    bool addFile(const std::string& nameUtf8, int fd, std::uint64_t maxBytes, std::int64_t mtime, Added* added = nullptr);
    // Writes the central directory; false on a write error.
    bool finish();

    // The most an entry of that name and size adds to an archive (its local header, data,
    // descriptor and directory record), and the most the end records add: an archive is never
    // larger than the sum, which is known before a byte is packed.
    static std::uint64_t entryBound(std::size_t nameBytes, std::uint64_t size);
    static constexpr std::uint64_t kEndBound = 56 + 20 + 22;

    std::uint64_t bytesWritten() const { return m_offset; }
    // Why the archive failed (errno of the failing read or write, 0 for an output refusal).
    int error() const { return m_error; }

private:
    struct Entry {
        std::string name;
        std::uint64_t offset = 0;
        std::uint64_t compressed = 0;
        std::uint64_t size = 0;
        std::uint32_t crc = 0;
        std::uint16_t time = 0;
        std::uint16_t date = 0;
        bool zip64 = false;
    };

    bool deflateWhole(int fd, std::uint64_t maxBytes, Entry& entry);
    bool write(const std::string& bytes);
    bool write(const char* data, std::size_t size);

    Output m_output;
    int m_level;
    unsigned m_threads;
    std::uint64_t m_offset = 0;
    int m_error = 0;
    std::vector<Entry> m_entries;
};
