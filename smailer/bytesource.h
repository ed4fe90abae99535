#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace SMailer {

// Where an attachment's bytes come from: a range of an open file, or a file still being written.
// The attachment reads it piece by piece from one thread; how it fails: MailException.
class ByteSource {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    virtual ~ByteSource() = default;

    // Fills data with exactly min(want, bytes left) bytes from position at, waiting until deadline
    // at most for bytes that are not there yet; 0 once the source has ended. A source that cannot
    // give its bytes whole throws MailException, never a shorter piece in the middle.
    virtual std::size_t read(std::uint64_t at, unsigned char* data, std::size_t want, Deadline deadline) = 0;
};

// The bytes [offset, offset + size) of an open file (fd not owned; it must stay open while read).
class FileRange final : public ByteSource {
public:
    FileRange(int fd, std::uint64_t offset, std::uint64_t size) : m_fd(fd), m_offset(offset), m_size(size) {}

    std::size_t read(std::uint64_t at, unsigned char* data, std::size_t want, Deadline deadline) override;

private:
    int m_fd;
    std::uint64_t m_offset;
    std::uint64_t m_size;
};

// Reads exactly want bytes of fd at offset; false when the file ends early or cannot be read.
bool readWhole(int fd, std::uint64_t offset, unsigned char* data, std::size_t want);

} // namespace SMailer
