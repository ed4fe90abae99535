#include "smailer/errormessage.h"

namespace SMailer {

ErrorMessage::ErrorMessage()
    : requestMessages{{SendHelo, "Send HELO cmd error"},
                      {SendAuth, "Send AUTH cmd error"},
                      {SendUserName, "Send user name error"},
                      {SendPassword, "Send user password error"},
                      {SendMailFrom, "Send MAIL FROM cmd error"},
                      {SendRcptTo, "Send RCPT TO cmd error"},
                      {SendData, "Send DATA cmd error"},
                      {SendHeader, "Send mail header error"},
                      {SendContent, "Send mail content error"},
                      {SendEnd, "Send mail end error"},
                      {SendQuit, "Send QUIT cmd error"},
                      {SendStartTls, "Send STARTTLS cmd error"}},
      responseMessages{{"220", "Server connect error"},
                       {"250", "General server error"},
                       {"334", "Server authentication error"},
                       {"235", "Password error"},
                       {"354", "Server not ready for data"},
                       {"221", "Server didn't terminate session"}}
{
}

ErrorMessage& ErrorMessage::getInstance()
{
    static ErrorMessage instance;
    return instance;
}

std::string ErrorMessage::request(Operation operation) const
{
    const auto it = requestMessages.find(operation);
    return it == requestMessages.end() ? std::string() : it->second;
}

std::string ErrorMessage::response(const std::string& expectedCode) const
{
    const auto it = responseMessages.find(expectedCode);
    return it == responseMessages.end() ? std::string() : it->second;
}

} // namespace SMailer
