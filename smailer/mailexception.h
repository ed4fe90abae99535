#pragma once

#include <exception>
#include <string>

namespace SMailer {

// Every failure of the mailer, with a fixed English message. Thrown by value, caught by reference.
class MailException : public std::exception {
public:
    explicit MailException(std::string message) : message(std::move(message)) {}
    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

} // namespace SMailer
