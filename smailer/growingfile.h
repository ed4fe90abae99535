#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace SMailer {

// A file that is read while it is still being written: the writer tells how far it got and when it
// ended, and a reader waits for bytes that are not there yet. Lets an attachment go out while it
// is made. Any threads.
class GrowingFile {
public:
    // fd is owned and only read with pread.
    explicit GrowingFile(int fd);
    ~GrowingFile();
    GrowingFile(const GrowingFile&) = delete;
    GrowingFile& operator=(const GrowingFile&) = delete;

    int fd() const { return m_fd; }

    // Writer: the file now holds size bytes.
    void grew(std::uint64_t size);
    // Writer: no more bytes come; complete false when the file failed and must not be used.
    void end(bool complete);

    struct State {
        std::uint64_t size = 0;
        bool ended = false;
        bool complete = false;
    };
    // Waits until the file holds at least size bytes or has ended.
    State waitFor(std::uint64_t size) const;

private:
    int m_fd;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    State m_state;
};

} // namespace SMailer
