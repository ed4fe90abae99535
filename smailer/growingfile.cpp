#include "smailer/growingfile.h"

#include <unistd.h>

namespace SMailer {

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

GrowingFile::State GrowingFile::waitFor(std::uint64_t size) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this, size] { return m_state.ended || m_state.size >= size; });
    return m_state;
}

} // namespace SMailer
