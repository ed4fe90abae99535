#include "tests/tools/refusingport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bound sockets that never listen: the kernel answers a connection with a reset.
class RefusingPort {
public:
    RefusingPort()
    {
        m_v4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof v4;
        if (m_v4 < 0 || ::bind(m_v4, reinterpret_cast<sockaddr*>(&v4), sizeof v4) != 0 ||
            ::getsockname(m_v4, reinterpret_cast<sockaddr*>(&v4), &length) != 0)
            return;
        m_port = ntohs(v4.sin_port);
        // "localhost" may resolve to ::1 first: hold the same port there too, where IPv6 exists.
        m_v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        v6.sin6_port = htons(m_port);
        if (m_v6 >= 0 && ::bind(m_v6, reinterpret_cast<sockaddr*>(&v6), sizeof v6) != 0) {
            ::close(m_v6);
            m_v6 = -1;
        }
    }
    ~RefusingPort()
    {
        if (m_v4 >= 0)
            ::close(m_v4);
        if (m_v6 >= 0)
            ::close(m_v6);
    }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    quint16 port() const { return m_port; }

private:
    int m_v4 = -1;
    int m_v6 = -1;
    quint16 m_port = 0;
};

} // namespace

quint16 deadPort()
{
    static const RefusingPort refusing;
    return refusing.port();
}
