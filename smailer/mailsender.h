#pragma once

#include "datafilter.h"
#include "errormessage.h"
#include "replyreader.h"

#include <chrono>
#include <memory>
#include <string>

namespace MUtils {
class TcpSocket;
}

namespace SMailer {

class MailWrapper;

// Carries one mail to an SMTP server: connect, EHLO (HELO when EHLO is refused), AUTH LOGIN when
// there is a user name, then MAIL FROM, RCPT TO, DATA and the message; QUIT on destruction.
// Every failure is a MailException with a fixed message. Every wait (connect, each send, each
// reply) ends after the timeout. One thread at a time; the socket is closed on every path.
class MailSender {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{60000};

    // Connects, greets and logs in; throws MailException when any of it fails.
    MailSender(std::string server, std::string user, std::string password, unsigned short port = 25,
               std::chrono::milliseconds timeout = kDefaultTimeout);
    ~MailSender();
    MailSender(const MailSender&) = delete;
    MailSender& operator=(const MailSender&) = delete;

    // The wrapper is not owned and must stay alive until sendMail() has returned.
    void setMail(MailWrapper* wrapper);
    // Sends the mail set by setMail; without one, does nothing.
    void sendMail();

private:
    void conn();
    void hello();
    void login();
    void sendHeader();
    void sendContent();
    void sendEnd();
    void quit();

    void sendCommand(Operation operation, const std::string& text);
    void sendRequest(Operation operation, const std::string& text);
    // Reads one whole reply and returns the code of its last line; throws the expected code's
    // message when no whole reply arrives.
    std::string readReply(const std::string& expected);
    void rcvResponse(const std::string& expected);
    // Sends message text through the DATA transparency filter in bounded pieces.
    void sendData(Operation operation, const char* data, std::size_t size);
    void flushData(Operation operation, std::string& wire);
    [[noreturn]] void fail(const std::string& message, bool connectionLost);
    MUtils::TcpSocket& sock();
    std::chrono::steady_clock::time_point deadline() const;

    std::string server;
    std::string user;
    std::string password;
    std::unique_ptr<MUtils::TcpSocket> socket;
    MailWrapper* mail;
    unsigned short port;
    std::chrono::milliseconds timeout;
    ReplyReader reader;
    DataFilter filter;
    bool broken = false; // the dialogue is out of step or the connection is gone: no QUIT
};

} // namespace SMailer
