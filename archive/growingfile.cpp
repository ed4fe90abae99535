#include "archive/growingfile.h"

#include "smailer/mailexception.h"

#include <unistd.h>

GrowingFile::GrowingFile(int fd) : m_fd(fd) {}

GrowingFile::~GrowingFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void GrowingFile::grew(std::uint64_t size)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_state.size = size;
    }
    m_changed.notify_all();
}

void GrowingFile::end(bool complete)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_state.ended = true;
        m_state.complete = complete;
    }
    m_changed.notify_all();
}

std::size_t GrowingFile::read(std::uint64_t at, unsigned char* data, std::size_t want, Deadline deadline)
{
    State state;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool ready = m_changed.wait_until(
            lock, deadline, [this, at, want] { return m_state.ended || m_state.size >= at + want; });
        state = m_state;
        if (!ready)
            throw SMailer::MailException("Attachment read error", "the report archive was not made in time");
    }
    if (state.ended && !state.complete)
        throw SMailer::MailException("Attachment read error", "the report archive could not be made");
    if (state.size <= at)
        return 0;
    const std::uint64_t left = state.size - at;
    const std::size_t take = left < want ? static_cast<std::size_t>(left) : want;
    if (!SMailer::readWhole(m_fd, at, data, take))
        throw SMailer::MailException("Attachment read error");
    return take;
}
