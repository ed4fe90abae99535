#include "tcpsocket.h"

#include <cerrno>
#include <climits>
#include <cstring>

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

TcpSocket::~TcpSocket()
{
    close();
}

void TcpSocket::close()
{
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

    for (addrinfo* ai = list.head; ai; ai = ai->ai_next) {
        m_fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (m_fd < 0)
            continue;
        int rc;
        do {
            rc = ::connect(m_fd, ai->ai_addr, ai->ai_addrlen);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0)
            return ConnectResult::Connected;
        if (errno == EINPROGRESS && waitFor(POLLOUT, deadline) == Status::Ok) {
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
                return ConnectResult::Connected;
        }
        close();
        if (Clock::now() >= deadline)
            break;
    }
    return ConnectResult::ConnectFailed;
}

TcpSocket::Status TcpSocket::sendAll(const char* data, std::size_t size, Clock::time_point deadline)
{
    if (m_fd < 0)
        return Status::Error;
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(m_fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Status ready = waitFor(POLLOUT, deadline);
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
