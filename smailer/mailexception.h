#pragma once

#include <stdexcept>

namespace SMailer {

// Every failure of the mailer, with a fixed English message. Thrown by value, caught by reference.
class MailException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace SMailer
