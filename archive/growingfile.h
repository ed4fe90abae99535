#pragma once

#include "smailer/bytesource.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

// A file that is read while it is still being written: the writer tells how far it got and when it
// ended, and a reader waits for bytes that are not there yet. Lets an attachment go out while it
// is made. Any threads.
class GrowingFile final : public SMailer::ByteSource {
public:
    // fd is owned and only read with pread.
    explicit GrowingFile(int fd);
    ~GrowingFile() override;
    GrowingFile(const GrowingFile&) = delete;
    GrowingFile& operator=(const GrowingFile&) = delete;

    int fd() const { return m_fd; }

    // Writer: the file now holds size bytes.
    void grew(std::uint64_t size);
    // Writer: no more bytes come; complete false when the file failed and must not be used.
    void end(bool complete);

    // Reader: a whole piece once the writer got that far, a shorter one only at the end. A file
    // that ended failed, or a writer that got no further by the deadline (a dump on a hung network
    // file system), is a MailException with its reason.
    std::size_t read(std::uint64_t at, unsigned char* data, std::size_t want, Deadline deadline) override;

private:
    struct State {
        std::uint64_t size = 0;
        bool ended = false;
        bool complete = false;
    };

    int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    State m_state;
};
