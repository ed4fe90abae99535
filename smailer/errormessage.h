#pragma once

#include <map>
#include <string>

namespace SMailer {

// The step whose send failed.
enum Operation : int {
    SendHelo = 0,
    SendAuth = 1,
    SendUserName = 2,
    SendPassword = 3,
    SendMailFrom = 4,
    SendRcptTo = 5,
    SendData = 6,
    SendHeader = 7,
    SendContent = 8,
    SendEnd = 9,
    SendQuit = 10,
    SendStartTls = 11,
};

// The fixed messages of the mailer's failures. One process-wide object, created on first use
// (thread-safe) and only read afterwards.
class ErrorMessage {
public:
    static ErrorMessage& getInstance();

    // Message when sending the step's text fails; empty for an unknown step.
    std::string request(Operation operation) const;
    // Message when the reply is missing or carries another code than expected; empty for an
    // unknown code.
    std::string response(const std::string& expectedCode) const;

private:
    ErrorMessage();

    std::map<Operation, std::string> requestMessages;
    std::map<std::string, std::string> responseMessages;
};

} // namespace SMailer
