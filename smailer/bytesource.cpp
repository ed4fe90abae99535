#include "smailer/bytesource.h"

#include "smailer/mailexception.h"

#include <cerrno>

#include <unistd.h>

namespace SMailer {

bool readWhole(int fd, std::uint64_t offset, unsigned char* data, std::size_t want)
{
    std::size_t filled = 0;
    while (filled < want) {
        const ssize_t got = ::pread(fd, data + filled, want - filled, static_cast<off_t>(offset + filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

std::size_t FileRange::read(std::uint64_t at, unsigned char* data, std::size_t want, Deadline)
{
    if (at >= m_size)
        return 0;
    const std::uint64_t left = m_size - at;
    const std::size_t take = left < want ? static_cast<std::size_t>(left) : want;
    if (!readWhole(m_fd, m_offset + at, data, take))
        throw MailException("Attachment read error"); // removed, truncated or unreadable
    return take;
}

} // namespace SMailer
