#include "smailer/tcpsocket.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <csignal>

#include <algorithm>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace MUtils {

namespace {

int remainingMs(TcpSocket::Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TcpSocket::Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// OpenSSL writes to the socket with write(), which raises SIGPIPE when the peer has gone. While a
// guard lives, SIGPIPE is blocked in this thread; one that arrived meanwhile is taken off again.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &m_old);
    }
    ~SigpipeGuard()
    {
        if (!m_wasPending) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec zero{0, 0};
            while (sigtimedwait(&pipe, nullptr, &zero) > 0) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_old;
    bool m_wasPending = false;
};

struct AddrInfoList {
    addrinfo* head = nullptr;
    ~AddrInfoList()
    {
        if (head)
            freeaddrinfo(head);
    }
};

} // namespace

struct TcpSocket::Tls {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    ~Tls()
    {
        if (ssl)
            SSL_free(ssl);
        if (context)
            SSL_CTX_free(context);
    }
};

TcpSocket::TcpSocket() = default;

TcpSocket::~TcpSocket()
{
    close();
}

void TcpSocket::close()
{
    m_tls.reset(); // no close_notify: the dialogue has ended with QUIT or has failed already
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

TcpSocket::Status TcpSocket::waitFor(short events, Clock::time_point deadline) const
{
    for (;;) {
        pollfd pfd{m_fd, events, 0};
        const int ms = remainingMs(deadline);
        const int rc = ::poll(&pfd, 1, ms);
        if (rc > 0)
            return Status::Ok; // errors and hang-ups show in the following call
        if (rc == 0)
            return Status::Timeout;
        if (errno != EINTR)
            return Status::Error;
    }
}

TcpSocket::ConnectResult TcpSocket::connect(const std::string& host, unsigned short port, Clock::time_point deadline)
{
    close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddrInfoList list;
    const std::string service = std::to_string(port);
    if (host.empty() || ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list.head) != 0 || !list.head)
        return ConnectResult::ResolveFailed;
    // Interleaved by family, the resolver's first family first (RFC 8305 section 4).
    std::vector<Address> first;
    std::vector<Address> other;
    for (addrinfo* ai = list.head; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Address address{};
        std::memcpy(&address.storage, ai->ai_addr, ai->ai_addrlen);
        address.length = ai->ai_addrlen;
        (ai->ai_family == list.head->ai_family ? first : other).push_back(address);
    }
    std::vector<Address> ordered;
    for (std::size_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size())
            ordered.push_back(first[i]);
        if (i < other.size())
            ordered.push_back(other[i]);
    }
    return connect(ordered, deadline);
}

TcpSocket::ConnectResult TcpSocket::connect(const std::vector<Address>& addresses, Clock::time_point deadline)
{
    close();
    std::vector<int> attempts; // connecting, in the order started
    const auto closeAll = [&attempts] {
        for (const int fd : attempts)
            ::close(fd);
        attempts.clear();
    };
    std::size_t next = 0;
    Clock::time_point nextStart = Clock::now();
    m_lastError = ETIMEDOUT;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            m_lastError = ETIMEDOUT;
            break;
        }
        if (next < addresses.size() && (now >= nextStart || attempts.empty())) {
            const Address& address = addresses[next++];
            nextStart = now + kAttemptDelay;
            const int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
            if (fd < 0) {
                m_lastError = errno;
                nextStart = now;
                continue;
            }
            int rc;
            do {
                rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
            } while (rc != 0 && errno == EINTR);
            if (rc == 0) {
                closeAll();
                m_fd = fd;
                return ConnectResult::Connected;
            }
            if (errno != EINPROGRESS) {
                m_lastError = errno;
                ::close(fd);
                nextStart = now; // refused at once: the next one now
                continue;
            }
            attempts.push_back(fd);
        }
        if (attempts.empty()) {
            if (next >= addresses.size())
                break;
            continue;
        }
        std::vector<pollfd> fds;
        for (const int fd : attempts)
            fds.push_back({fd, POLLOUT, 0});
        const Clock::time_point wakeUp = next < addresses.size() && nextStart < deadline ? nextStart : deadline;
        const int rc = ::poll(fds.data(), fds.size(), remainingMs(wakeUp));
        if (rc < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; rc > 0 && i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                m_fd = fds[i].fd;
                attempts.erase(attempts.begin() + static_cast<std::ptrdiff_t>(i));
                closeAll();
                return ConnectResult::Connected;
            }
            m_lastError = error != 0 ? error : errno;
            ::close(fds[i].fd);
            attempts.erase(std::find(attempts.begin(), attempts.end(), fds[i].fd));
            nextStart = Clock::now(); // that one failed: the next one now
        }
    }
    closeAll();
    return ConnectResult::ConnectFailed;
}

void TcpSocket::startLowSpeedLimit(std::size_t minBytesPerSecond, std::chrono::milliseconds period)
{
    m_lowSpeed = true;
    m_minBytesPerSecond = minBytesPerSecond;
    m_period = period;
    m_periodStart = Clock::now();
    m_periodBytes = 0;
}

bool TcpSocket::progress(std::size_t bytes)
{
    if (!m_lowSpeed)
        return true;
    m_periodBytes += bytes;
    const Clock::time_point now = Clock::now();
    if (now - m_periodStart < m_period)
        return true;
    const auto seconds = std::chrono::duration<double>(now - m_periodStart).count();
    if (static_cast<double>(m_periodBytes) < static_cast<double>(m_minBytesPerSecond) * seconds)
        return false;
    m_periodStart = now;
    m_periodBytes = 0;
    return true;
}

TcpSocket::Clock::time_point TcpSocket::nextCheck(Clock::time_point deadline) const
{
    if (!m_lowSpeed)
        return deadline;
    const Clock::time_point periodEnd = m_periodStart + m_period;
    return periodEnd < deadline ? periodEnd : deadline;
}

TcpSocket::Status TcpSocket::drain(std::chrono::milliseconds stallLimit)
{
    if (m_fd < 0)
        return Status::Error;
    int last = -1;
    Clock::time_point lastMove = Clock::now();
    for (;;) {
        int queued = 0;
        if (::ioctl(m_fd, SIOCOUTQ, &queued) != 0)
            return Status::Ok; // no way to tell: the reply's own wait decides
        if (queued == 0)
            return Status::Ok;
        const Clock::time_point now = Clock::now();
        if (last >= 0 && queued < last)
            lastMove = now;
        if (!progress(last > queued ? static_cast<std::size_t>(last - queued) : 0))
            return Status::Timeout;
        if (now - lastMove >= stallLimit)
            return Status::Timeout;
        last = queued;
        // The peer may answer early (a refusal before the end); the reply's wait reads it.
        pollfd pfd{m_fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, 20);
        if (rc > 0)
            return Status::Ok;
        if (rc < 0 && errno != EINTR)
            return Status::Error;
    }
}

TcpSocket::TlsResult TcpSocket::startTls(const std::string& serverName, const std::string& caFile,
                                         Clock::time_point deadline)
{
    if (m_fd < 0 || m_tls)
        return TlsResult::HandshakeFailed;
    auto tls = std::make_unique<Tls>();
    tls->context = SSL_CTX_new(TLS_client_method());
    if (!tls->context || SSL_CTX_set_min_proto_version(tls->context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(tls->context) != 1)
        return TlsResult::HandshakeFailed;
    if (!caFile.empty() && SSL_CTX_load_verify_locations(tls->context, caFile.c_str(), nullptr) != 1)
        return TlsResult::VerificationFailed;
    SSL_CTX_set_verify(tls->context, SSL_VERIFY_PEER, nullptr);
    tls->ssl = SSL_new(tls->context);
    if (!tls->ssl || SSL_set_fd(tls->ssl, m_fd) != 1)
        return TlsResult::HandshakeFailed;

    // An address literal is checked against the certificate's IP entries and sends no SNI.
    unsigned char address[16];
    const bool isAddress = inet_pton(AF_INET, serverName.c_str(), address) == 1 ||
                           inet_pton(AF_INET6, serverName.c_str(), address) == 1;
    X509_VERIFY_PARAM* param = SSL_get0_param(tls->ssl);
    if (isAddress) {
        if (X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str()) != 1)
            return TlsResult::VerificationFailed;
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(tls->ssl, serverName.c_str()) != 1 ||
            SSL_ctrl(tls->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(serverName.c_str())) != 1)
            return TlsResult::VerificationFailed;
    }

    SigpipeGuard noSigpipe;
    ERR_clear_error();
    for (;;) {
        const int rc = SSL_connect(tls->ssl);
        if (rc == 1)
            break;
        if (tlsWait(SSL_get_error(tls->ssl, rc), deadline) != Status::Ok) {
            const bool unverified = SSL_get_verify_result(tls->ssl) != X509_V_OK;
            ERR_clear_error();
            return unverified ? TlsResult::VerificationFailed : TlsResult::HandshakeFailed;
        }
    }
    if (SSL_get_verify_result(tls->ssl) != X509_V_OK)
        return TlsResult::VerificationFailed;
    m_tls = std::move(tls);
    return TlsResult::Ok;
}

TcpSocket::Status TcpSocket::tlsWait(int sslError, Clock::time_point deadline) const
{
    switch (sslError) {
    case SSL_ERROR_WANT_READ:
        return waitFor(POLLIN, deadline);
    case SSL_ERROR_WANT_WRITE:
        return waitFor(POLLOUT, deadline);
    case SSL_ERROR_ZERO_RETURN:
    case SSL_ERROR_SYSCALL:
        return Status::Closed;
    default:
        return Status::Error;
    }
}

TcpSocket::Status TcpSocket::tlsSend(const char* data, std::size_t size, Clock::time_point deadline)
{
    SigpipeGuard noSigpipe;
    std::size_t sent = 0;
    while (sent < size) {
        ERR_clear_error();
        std::size_t written = 0;
        const int rc = SSL_write_ex(m_tls->ssl, data + sent, size - sent, &written);
        if (rc == 1) {
            sent += written;
            if (!progress(written))
                return Status::Timeout;
            continue;
        }
        const Status next = tlsWait(SSL_get_error(m_tls->ssl, rc), nextCheck(deadline));
        if (next == Status::Timeout && Clock::now() < deadline) {
            if (!progress(0))
                return Status::Timeout;
            continue;
        }
        if (next != Status::Ok)
            return next;
    }
    return Status::Ok;
}

TcpSocket::Status TcpSocket::tlsReceive(char* buffer, std::size_t capacity, std::size_t& received,
                                        Clock::time_point deadline)
{
    SigpipeGuard noSigpipe;
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_read_ex(m_tls->ssl, buffer, capacity, &received);
        if (rc == 1)
            return Status::Ok;
        const Status next = tlsWait(SSL_get_error(m_tls->ssl, rc), deadline);
        if (next != Status::Ok) {
            received = 0;
            return next;
        }
    }
}

TcpSocket::Status TcpSocket::sendAll(const char* data, std::size_t size, Clock::time_point deadline)
{
    if (m_fd < 0)
        return Status::Error;
    if (m_tls)
        return tlsSend(data, size, deadline);
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(m_fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            if (!progress(static_cast<std::size_t>(n)))
                return Status::Timeout;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Status ready = waitFor(POLLOUT, nextCheck(deadline));
            if (ready == Status::Timeout && Clock::now() < deadline) {
                if (!progress(0))
                    return Status::Timeout; // a whole period too slow
                continue;
            }
            if (ready != Status::Ok)
                return ready;
            continue;
        }
        return (n < 0 && (errno == EPIPE || errno == ECONNRESET)) ? Status::Closed : Status::Error;
    }
    return Status::Ok;
}

TcpSocket::Status TcpSocket::receive(char* buffer, std::size_t capacity, std::size_t& received, Clock::time_point deadline)
{
    received = 0;
    if (m_fd < 0)
        return Status::Error;
    if (m_tls)
        return tlsReceive(buffer, capacity, received, deadline);
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, capacity, 0);
        if (n > 0) {
            received = static_cast<std::size_t>(n);
            return Status::Ok;
        }
        if (n == 0)
            return Status::Closed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const Status ready = waitFor(POLLIN, deadline);
            if (ready != Status::Ok)
                return ready;
            continue;
        }
        return errno == ECONNRESET ? Status::Closed : Status::Error;
    }
}

bool TcpSocket::localHostName(std::string& name)
{
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return false;
    name = buffer;
    return !name.empty();
}

} // namespace MUtils
