#include "smailer/tcpsocket.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <algorithm>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <fcntl.h>
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

struct AddrInfoList {
    addrinfo* head = nullptr;
    ~AddrInfoList()
    {
        if (head)
            freeaddrinfo(head);
    }
};

} // namespace

TcpSocket::TcpSocket() = default;

TcpSocket::~TcpSocket()
{
    close();
}

void TcpSocket::close()
{
    m_tls.reset();
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
            nextStart = now + kAttemptDelay;
            int fd = -1;
            const AttemptStart started = startAttempt(addresses[next++], fd);
            if (started == AttemptStart::Connected) {
                closeAll();
                m_fd = fd;
                return ConnectResult::Connected;
            }
            if (started == AttemptStart::Failed) {
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
        const Clock::time_point wakeUp = next < addresses.size() && nextStart < deadline ? nextStart : deadline;
        int connected = -1;
        if (!awaitAttempts(attempts, wakeUp, nextStart, connected))
            break;
        if (connected >= 0) {
            closeAll();
            m_fd = connected;
            return ConnectResult::Connected;
        }
    }
    closeAll();
    return ConnectResult::ConnectFailed;
}

TcpSocket::AttemptStart TcpSocket::startAttempt(const Address& address, int& fd)
{
    fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        m_lastError = errno;
        return AttemptStart::Failed;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return AttemptStart::Connected;
    if (errno != EINPROGRESS) {
        m_lastError = errno;
        ::close(fd);
        fd = -1;
        return AttemptStart::Failed;
    }
    return AttemptStart::Pending;
}

bool TcpSocket::awaitAttempts(std::vector<int>& attempts, Clock::time_point wakeUp, Clock::time_point& nextStart,
                              int& connected)
{
    std::vector<pollfd> fds;
    for (const int fd : attempts)
        fds.push_back({fd, POLLOUT, 0});
    const int rc = ::poll(fds.data(), fds.size(), remainingMs(wakeUp));
    if (rc < 0 && errno != EINTR)
        return false;
    for (std::size_t i = 0; rc > 0 && i < fds.size(); ++i) {
        if (fds[i].revents == 0)
            continue;
        // Taken out of the attempts by value: one that failed before it in this round has left.
        attempts.erase(std::find(attempts.begin(), attempts.end(), fds[i].fd));
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
            connected = fds[i].fd;
            return true;
        }
        m_lastError = error != 0 ? error : errno;
        ::close(fds[i].fd);
        nextStart = Clock::now(); // that one failed: the next one now
    }
    return true;
}

void TcpSocket::startLowSpeedLimit(std::size_t minBytesPerSecond, std::chrono::milliseconds period)
{
    m_lowSpeed.start(minBytesPerSecond, period, Clock::now());
}

bool TcpSocket::progress(std::size_t bytes)
{
    return m_lowSpeed.progress(bytes, Clock::now());
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
    auto tls = std::make_unique<TlsStream>();
    switch (tls->setUp(m_fd, serverName, caFile)) {
    case TlsStream::Setup::Ok:
        break;
    case TlsStream::Setup::Failed:
        return TlsResult::HandshakeFailed;
    case TlsStream::Setup::Unverifiable:
        return TlsResult::VerificationFailed;
    }
    for (;;) {
        const TlsStream::Step step = tls->handshake();
        if (step == TlsStream::Step::Done)
            break;
        if (tlsWait(step, deadline) != Status::Ok)
            return tls->verified() ? TlsResult::HandshakeFailed : TlsResult::VerificationFailed;
    }
    if (!tls->verified())
        return TlsResult::VerificationFailed;
    m_tls = std::move(tls);
    return TlsResult::Ok;
}

TcpSocket::Status TcpSocket::tlsWait(TlsStream::Step step, Clock::time_point deadline) const
{
    switch (step) {
    case TlsStream::Step::WantRead:
        return waitFor(POLLIN, deadline);
    case TlsStream::Step::WantWrite:
        return waitFor(POLLOUT, deadline);
    case TlsStream::Step::Closed:
        return Status::Closed;
    case TlsStream::Step::Done:
    case TlsStream::Step::Error:
        break;
    }
    return Status::Error;
}

TcpSocket::Status TcpSocket::tlsSend(const char* data, std::size_t size, Clock::time_point deadline)
{
    std::size_t sent = 0;
    while (sent < size) {
        std::size_t written = 0;
        const TlsStream::Step step = m_tls->write(data + sent, size - sent, written);
        if (step == TlsStream::Step::Done) {
            sent += written;
            if (!progress(written))
                return Status::Timeout;
            continue;
        }
        const Status next = tlsWait(step, m_lowSpeed.nextCheck(deadline));
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
    for (;;) {
        const TlsStream::Step step = m_tls->read(buffer, capacity, received);
        if (step == TlsStream::Step::Done)
            return Status::Ok;
        const Status next = tlsWait(step, deadline);
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
            const Status ready = waitFor(POLLOUT, m_lowSpeed.nextCheck(deadline));
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
