#pragma once

#include <stdexcept>
#include <string>

namespace SMailer {

// Every failure of the mailer. what() is the fixed English message of the step; reason() says in
// plain words what went wrong and what the server said, for people (empty when there is nothing
// to add). Thrown by value, caught by reference.
class MailException : public std::runtime_error {
public:
    explicit MailException(const std::string& message, std::string reason = std::string())
        : std::runtime_error(message), m_reason(std::move(reason))
    {
    }
    const std::string& reason() const { return m_reason; }

private:
    std::string m_reason;
};

} // namespace SMailer
