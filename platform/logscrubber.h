#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

// What the logs of this user must not reveal: the home folder, the login and real name, the
// machine's name. Bytes as they appear in a log (UTF-8; a non-ASCII name also in GB18030).
struct ScrubIdentity {
    std::string home;               // no trailing slash; empty or "/": not looked for
    std::vector<std::string> names; // each becomes <user> or <host>
    std::vector<bool> isHost;       // parallel to names

    void addName(const std::string& name, bool host);
    // The user this process runs as (password database) and the host name.
    static ScrubIdentity ofThisProcess();
};

// Replaces private data in log text, one line at a time: the home folder with "~", the user's
// names with "<user>", the host name with "<host>", e-mail addresses with "<email>", IP addresses
// other than loopback with "<ip>", URL credentials with "<user>:<secret>", and the values of
// password-like keys and of Authorization/Bearer with "<secret>". Lines may be UTF-8 or GB18030;
// a file that is not text is copied unchanged. Deterministic: the same input and identity give
// the same bytes. Immutable after construction, so any thread may use one.
class LogScrubber {
public:
    // A replacement in the output: where it starts and how long it is.
    struct Span {
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
    };

    explicit LogScrubber(ScrubIdentity identity);

    // Appends the scrubbed line (with whatever line end it has) to out and returns how many
    // replacements were made. spans, when given, receives them at outBase + their place in out.
    std::size_t scrubLine(const char* line, std::size_t size, std::string& out, std::vector<Span>* spans = nullptr,
                          std::uint64_t outBase = 0) const;

    struct Result {
        bool ok = false;
        bool text = true; // false: not text, copied unchanged
        std::uint64_t bytesIn = 0;
        std::uint64_t bytesOut = 0;
        std::uint64_t replacements = 0;
        int error = 0; // errno of a failed read or write
    };
    // Streams up to maxBytes of in (from its position) to out, a line at a time: memory stays
    // small whatever the log's size (a line longer than 1 MiB is taken in pieces).
    // cancel, when given and set (from any thread), stops it between two blocks: not ok then.
    Result scrubFile(int in, std::uint64_t maxBytes, int out, std::vector<Span>* spans = nullptr,
                     const std::atomic<bool>* cancel = nullptr) const;

    // The same bytes as scrubFile, from a regular file, on up to threads threads at once (pieces
    // cut at line starts); no spans. For the logs that packing scrubs itself.
    Result scrubFileInParallel(int in, std::uint64_t maxBytes, int out, unsigned threads) const;

private:
    Result scrubRange(int in, off_t from, std::uint64_t maxBytes, int out, std::vector<Span>* spans, bool checkText,
                      const std::atomic<bool>* cancel = nullptr) const;

    struct Name {
        std::string bytes;
        bool host = false;
    };
    ScrubIdentity m_identity;
    std::vector<Name> m_names; // longest first
    bool m_nameStart[256] = {};
};
