#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace MUtils {

// A TCP connection whose every wait ends at a deadline, optionally carried over TLS once
// startTls() has succeeded: sendAll() and receive() then go through the TLS stream. Blocking from
// the caller's point of view; one thread at a time. The descriptor and the TLS state are released
// by close() or the destructor on every path. Never raises SIGPIPE.
class TcpSocket {
public:
    using Clock = std::chrono::steady_clock;

    enum class Status { Ok, Timeout, Closed, Error };
    enum class ConnectResult { Connected, ResolveFailed, ConnectFailed };
    enum class TlsResult { Ok, HandshakeFailed, VerificationFailed };

    TcpSocket();
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host (names and IPv4/IPv6 literals) and tries each address in turn until one
    // connects or the deadline passes.
    ConnectResult connect(const std::string& host, unsigned short port, Clock::time_point deadline);
    // Sends every byte, continuing partial sends; never raises SIGPIPE.
    Status sendAll(const char* data, std::size_t size, Clock::time_point deadline);
    // Receives what is there (at least one byte) into buffer; Closed when the peer has hung up.
    Status receive(char* buffer, std::size_t capacity, std::size_t& received, Clock::time_point deadline);
    void close();
    bool isOpen() const { return m_fd >= 0; }

    // TLS 1.2 or newer over the open connection: the system's trust store (plus caFile when not
    // empty), SNI and host-name verification against serverName. A certificate that does not
    // verify is VerificationFailed; the connection is of no further use after any failure.
    TlsResult startTls(const std::string& serverName, const std::string& caFile, Clock::time_point deadline);

    // The local host name; false when it cannot be read.
    static bool localHostName(std::string& name);

private:
    struct Tls;

    // Waits until the descriptor is ready for events (poll flags); Ok, Timeout or Error.
    Status waitFor(short events, Clock::time_point deadline) const;
    // After a TLS call failed with sslError: waits for what it needs (Ok: call it again), or says
    // how the connection ended.
    Status tlsWait(int sslError, Clock::time_point deadline) const;
    Status tlsSend(const char* data, std::size_t size, Clock::time_point deadline);
    Status tlsReceive(char* buffer, std::size_t capacity, std::size_t& received, Clock::time_point deadline);

    int m_fd = -1;
    std::unique_ptr<Tls> m_tls;
};

} // namespace MUtils
