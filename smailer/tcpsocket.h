#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace MUtils {

// A TCP connection whose every wait ends at a deadline. Blocking from the caller's point of view;
// one thread at a time. The descriptor is closed by close() or the destructor on every path.
class TcpSocket {
public:
    using Clock = std::chrono::steady_clock;

    enum class Status { Ok, Timeout, Closed, Error };
    enum class ConnectResult { Connected, ResolveFailed, ConnectFailed };

    TcpSocket() = default;
    virtual ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host (names and IPv4/IPv6 literals) and tries each address in turn until one
    // connects or the deadline passes.
    ConnectResult connect(const std::string& host, unsigned short port, Clock::time_point deadline);
    // Sends every byte, continuing partial sends; never raises SIGPIPE.
    virtual Status sendAll(const char* data, std::size_t size, Clock::time_point deadline);
    // Receives what is there (at least one byte) into buffer; Closed when the peer has hung up.
    virtual Status receive(char* buffer, std::size_t capacity, std::size_t& received, Clock::time_point deadline);
    void close();
    bool isOpen() const { return m_fd >= 0; }

    // The local host name; false when it cannot be read.
    static bool localHostName(std::string& name);

protected:
    // Waits until the descriptor is ready for events (poll flags); Ok, Timeout or Error.
    Status waitFor(short events, Clock::time_point deadline) const;
    int m_fd = -1;
};

} // namespace MUtils
