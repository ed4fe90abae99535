#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace MUtils {

// One TLS client session (OpenSSL) over a connected non-blocking descriptor, which it does not
// own: TLS 1.2 or newer, the system's trust store (plus a CA file), SNI and host-name or address
// verification. Each call does what it can without blocking and says what it waits for; the
// caller waits on the descriptor. SIGPIPE never reaches the process from its calls. One thread at
// a time; the session is freed with the object.
class TlsStream {
public:
    enum class Setup { Ok, Failed, Unverifiable };
    // Done: the call succeeded. WantRead/WantWrite: call again once the descriptor is ready.
    enum class Step { Done, WantRead, WantWrite, Closed, Error };

    TlsStream();
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Unverifiable: the CA file or the server's name cannot be used for verification.
    Setup setUp(int fd, const std::string& serverName, const std::string& caFile);
    Step handshake();
    // The server's certificate verified (or verification has not failed yet).
    bool verified() const;
    Step write(const char* data, std::size_t size, std::size_t& written);
    Step read(char* buffer, std::size_t capacity, std::size_t& received);

private:
    struct Session;
    std::unique_ptr<Session> m_session;
};

} // namespace MUtils
