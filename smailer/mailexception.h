#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace SMailer {

// Every failure of the mailer. what() is the fixed English message of the step; reason() says in
// plain words what went wrong and what the server said, for people (empty when there is nothing
// to add). network(): the network failed it (the name did not resolve, the connection could not
// be made or was lost, a wait ran out), not the server's answer or the configuration; a later
// try may go through once the machine is online. Thrown by value, caught by reference.
class MailException : public std::runtime_error {
public:
    explicit MailException(const std::string& message, std::string reason = std::string(), bool network = false)
        : std::runtime_error(message), m_reason(std::move(reason)), m_network(network)
    {
    }
    const std::string& reason() const { return m_reason; }
    bool network() const { return m_network; }

private:
    std::string m_reason;
    bool m_network;
};

// The server's size limit refuses the mail: advertised in its EHLO reply (SIZE), or learnt from a
// 552 after MAIL FROM or after the data. limit: the advertised limit, or else the size that was
// refused (a mail must be smaller than it to pass).
class MailTooLargeException : public MailException {
public:
    MailTooLargeException(const std::string& message, std::string reason, std::uint64_t limit, bool announced)
        : MailException(message, std::move(reason)), m_limit(limit), m_announced(announced)
    {
    }
    std::uint64_t limit() const { return m_limit; }
    // The server said its limit (SIZE); else limit() is only the size it refused.
    bool announced() const { return m_announced; }

private:
    std::uint64_t m_limit;
    bool m_announced;
};

} // namespace SMailer
