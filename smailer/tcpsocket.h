#pragma once

#include "smailer/lowspeedlimit.h"
#include "smailer/tlsstream.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>

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

    struct Address {
        sockaddr_storage storage;
        socklen_t length;
    };

    // Resolves host (names and IPv4/IPv6 literals) and connects to one of its addresses.
    ConnectResult connect(const std::string& host, unsigned short port, Clock::time_point deadline);
    // Connects to the first of addresses that answers, the way current clients do it (RFC 8305):
    // families interleaved, the next address tried 250 ms after the one before (at once when that
    // one fails) while the earlier ones go on, all within the deadline. A dead first address
    // cannot hide a working second one.
    ConnectResult connect(const std::vector<Address>& addresses, Clock::time_point deadline);

    static constexpr std::chrono::milliseconds kAttemptDelay{250};
    // Sends every byte, continuing partial sends; never raises SIGPIPE.
    Status sendAll(const char* data, std::size_t size, Clock::time_point deadline);
    // Waits until every byte sent has left this machine (the kernel's send queue is empty), or
    // the peer has something to say: Ok. Timeout when nothing moved for stallLimit, or under the
    // low-speed limit.
    Status drain(std::chrono::milliseconds stallLimit);

    // A low-speed limit in the manner of common transfer tools: while it is on, fewer than
    // minBytesPerSecond over any whole period (of sends and of the drain) ends the transfer with
    // Timeout. Off by default and after stopLowSpeedLimit().
    void startLowSpeedLimit(std::size_t minBytesPerSecond, std::chrono::milliseconds period);
    void stopLowSpeedLimit() { m_lowSpeed.stop(); }
    // Receives what is there (at least one byte) into buffer; Closed when the peer has hung up.
    Status receive(char* buffer, std::size_t capacity, std::size_t& received, Clock::time_point deadline);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    // Why the last connect failed (errno; ETIMEDOUT when the deadline passed).
    int lastError() const { return m_lastError; }

    // TLS 1.2 or newer over the open connection: the system's trust store (plus caFile when not
    // empty), SNI and host-name verification against serverName. A certificate that does not
    // verify is VerificationFailed; the connection is of no further use after any failure.
    TlsResult startTls(const std::string& serverName, const std::string& caFile, Clock::time_point deadline);

    // The local host name; false when it cannot be read.
    static bool localHostName(std::string& name);

private:
    enum class AttemptStart { Connected, Pending, Failed };
    // Starts a non-blocking connect to address; fd is the new descriptor unless it Failed.
    AttemptStart startAttempt(const Address& address, int& fd);
    // Waits until wakeUp for the attempts; connected is the first that got through (taken out of
    // attempts), failed ones are closed and taken out. False when the wait itself failed.
    bool awaitAttempts(std::vector<int>& attempts, Clock::time_point wakeUp, Clock::time_point& nextStart,
                       int& connected);
    // Waits until the descriptor is ready for events (poll flags); Ok, Timeout or Error.
    Status waitFor(short events, Clock::time_point deadline) const;
    // After a TLS call did not finish: waits for what it needs (Ok: call it again), or says how
    // the connection ended.
    Status tlsWait(TlsStream::Step step, Clock::time_point deadline) const;
    Status tlsSend(const char* data, std::size_t size, Clock::time_point deadline);
    Status tlsReceive(char* buffer, std::size_t capacity, std::size_t& received, Clock::time_point deadline);

    // Counts bytes that moved toward the peer; false when the last whole period was too slow.
    bool progress(std::size_t bytes);

    int m_fd = -1;
    int m_lastError = 0;
    std::unique_ptr<TlsStream> m_tls;
    LowSpeedLimit m_lowSpeed;
};

} // namespace MUtils
