#include "tests/tools/scriptedsmtpserver.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const std::map<std::string, std::string> kDefaults = {
    {"CONNECT", "220 scripted ESMTP ready\r\n"},
    {"EHLO", "250-scripted greets you\r\n250-8BITMIME\r\n250 AUTH LOGIN PLAIN\r\n"},
    {"HELO", "250 scripted\r\n"},
    {"AUTH", "334 VXNlcm5hbWU6\r\n"},
    {"USER", "334 UGFzc3dvcmQ6\r\n"},
    {"PASS", "235 2.7.0 Authentication successful\r\n"},
    {"MAIL", "250 2.1.0 OK\r\n"},
    {"RCPT", "250 2.1.5 OK\r\n"},
    {"DATA", "354 End data with <CR><LF>.<CR><LF>\r\n"},
    {"END", "250 2.0.0 queued\r\n"},
    {"QUIT", "221 2.0.0 bye\r\n"},
};

bool startsWithNoCase(const std::string& line, const char* word)
{
    for (std::size_t i = 0; word[i]; ++i) {
        if (i >= line.size() || std::toupper(static_cast<unsigned char>(line[i])) != word[i])
            return false;
    }
    return true;
}

} // namespace

ScriptedSmtpServer::ScriptedSmtpServer(std::map<std::string, Step> script, std::size_t segment, int connections)
    : m_script(std::move(script)), m_segment(segment), m_connections(connections)
{
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t length = sizeof addr;
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listenFd, 4) != 0 || ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        return;
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { serve(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

std::string ScriptedSmtpServer::transcript() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transcript;
}

std::string ScriptedSmtpServer::data() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_data;
}

std::string ScriptedSmtpServer::message() const
{
    std::string wire = data();
    if (wire.size() >= 3 && wire.compare(wire.size() - 3, 3, ".\r\n") == 0)
        wire.erase(wire.size() - 3);
    std::string text;
    text.reserve(wire.size());
    bool lineStart = true;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (lineStart && wire[i] == '.' && i + 1 < wire.size() && wire[i + 1] == '.') {
            lineStart = false;
            continue; // the added dot
        }
        text.push_back(wire[i]);
        lineStart = wire[i] == '\n';
    }
    return text;
}

std::string ScriptedSmtpServer::steps() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_steps;
}

bool ScriptedSmtpServer::waitForClientGone(int timeoutMs) const
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_clientGone) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool ScriptedSmtpServer::sendText(int fd, const std::string& text)
{
    const std::size_t piece = m_segment == 0 ? text.size() : m_segment;
    for (std::size_t offset = 0; offset < text.size(); offset += piece) {
        const std::size_t n = std::min(piece, text.size() - offset);
        if (::send(fd, text.data() + offset, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
            return false;
        if (m_segment != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Reads one line (up to LF) into line; false when the client has gone or the server stops.
bool ScriptedSmtpServer::readLine(int fd, std::string& line)
{
    for (;;) {
        const std::size_t lf = m_pending.find('\n');
        if (lf != std::string::npos) {
            line = m_pending.substr(0, lf + 1);
            m_pending.erase(0, lf + 1);
            return true;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, 50);
        if (m_stop)
            return false;
        if (rc <= 0)
            continue;
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_transcript.append(buffer, static_cast<std::size_t>(n));
        m_pending.append(buffer, static_cast<std::size_t>(n));
    }
}

// Answers a step; false when the connection is to end here.
bool ScriptedSmtpServer::answer(int fd, const std::string& step)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_steps += (m_steps.empty() ? "" : " ") + step;
    }
    if (const auto action = m_actions.find(step); action != m_actions.end())
        action->second();
    const auto it = m_script.find(step);
    const Step what = it != m_script.end() ? it->second : Step{Action::Reply, kDefaults.at(step), 0};
    switch (what.action) {
    case Action::Reply: {
        const bool sent = sendText(fd, what.reply);
        if (const auto after = m_afterActions.find(step); after != m_afterActions.end())
            after->second();
        return sent;
    }
    case Action::Close:
        return false;
    case Action::Stall: {
        const auto hangUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(what.hangUpAfterMs);
        while (!m_stop && (what.hangUpAfterMs == 0 || std::chrono::steady_clock::now() < hangUp)) {
            // Keep reading so the client's sends never block on a full window.
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 50) > 0) {
                char buffer[65536];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                std::lock_guard<std::mutex> lock(m_mutex);
                m_transcript.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return false;
    }
    }
    return false;
}

void ScriptedSmtpServer::serve()
{
    for (int served = 0; served < m_connections && !m_stop; ++served) {
        int fd = -1;
        while (!m_stop && fd < 0) {
            pollfd pfd{m_listenFd, POLLIN, 0};
            if (::poll(&pfd, 1, 50) > 0)
                fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        }
        if (fd < 0)
            return;
        if (served + 1 == m_connections)
            ::shutdown(m_listenFd, SHUT_RDWR); // no more: later connections are refused
        serveOne(fd);
    }
}

void ScriptedSmtpServer::serveOne(int fd)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    bool open = answer(fd, "CONNECT");
    std::string line;
    int authStage = 0; // 1: user name expected, 2: password expected
    while (open && readLine(fd, line)) {
        if (authStage == 1) {
            authStage = 2;
            open = answer(fd, "USER");
        } else if (authStage == 2) {
            authStage = 0;
            open = answer(fd, "PASS");
        } else if (startsWithNoCase(line, "EHLO")) {
            open = answer(fd, "EHLO");
        } else if (startsWithNoCase(line, "HELO")) {
            open = answer(fd, "HELO");
        } else if (startsWithNoCase(line, "AUTH PLAIN ")) {
            open = answer(fd, "PASS"); // the initial response holds login and password at once
        } else if (startsWithNoCase(line, "AUTH PLAIN")) {
            const auto it = m_script.find("AUTH");
            const bool goesOn = it == m_script.end() || it->second.reply.rfind("334", 0) == 0;
            open = answer(fd, "AUTH");
            authStage = goesOn ? 2 : 0;
        } else if (startsWithNoCase(line, "AUTH")) {
            const auto it = m_script.find("AUTH");
            const bool goesOn = it == m_script.end() || it->second.reply.rfind("334", 0) == 0;
            open = answer(fd, "AUTH");
            authStage = goesOn ? 1 : 0;
        } else if (startsWithNoCase(line, "MAIL")) {
            open = answer(fd, "MAIL");
        } else if (startsWithNoCase(line, "RCPT")) {
            open = answer(fd, "RCPT");
        } else if (startsWithNoCase(line, "DATA")) {
            const auto it = m_script.find("DATA");
            if (it != m_script.end() && it->second.action == Action::Close) {
                // Accept DATA, then hang up once message bytes arrive.
                open = sendText(fd, kDefaults.at("DATA")) && readLine(fd, line) && answer(fd, "DATA");
                break;
            }
            const bool goesOn = it == m_script.end() || it->second.reply.rfind("354", 0) == 0;
            open = answer(fd, "DATA");
            if (!open || !goesOn)
                continue;
            std::string body;
            bool complete = false;
            while ((open = readLine(fd, line))) {
                body += line;
                if (line == ".\r\n") {
                    complete = true;
                    break;
                }
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_data += body;
            }
            if (complete)
                open = answer(fd, "END");
        } else if (startsWithNoCase(line, "QUIT")) {
            answer(fd, "QUIT");
            break;
        } else {
            open = sendText(fd, "500 5.5.2 unknown command\r\n");
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    m_clientGone = true;
}
