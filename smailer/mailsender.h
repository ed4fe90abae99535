#pragma once

#include "smailer/datafilter.h"
#include "smailer/errormessage.h"
#include "smailer/replyreader.h"

#include <chrono>
#include <memory>
#include <string>

namespace MUtils {
class TcpSocket;
}

namespace SMailer {

class MailWrapper;

// How the connection is protected. None: plain TCP, as on port 25. StartTls: EHLO, STARTTLS, TLS,
// EHLO again, then the rest; a server without STARTTLS is a failure, never a fall-back to clear
// text. Tls: TLS from the first byte (port 465 by convention).
enum class Security { None, StartTls, Tls };

// How the sender logs in: AUTH LOGIN, AUTH PLAIN (RFC 4616), or not at all (a relay that takes
// mail without a login; the password is then never sent).
enum class Auth { Login, Plain, None };

// Carries one mail to an SMTP server: connect, EHLO (HELO when EHLO is refused), AUTH LOGIN (or
// AUTH PLAIN) when there is a user name and a login is wanted, then MAIL FROM, RCPT TO, DATA and
// the message; QUIT on destruction. Every failure is a MailException with a fixed message. Every
// wait (connect, each send, each reply) ends after the timeout. One thread at a time; the socket
// is closed on every path.
class MailSender {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{60000};

    // Connects, greets and logs in; throws MailException when any of it fails. caFile names extra
    // trusted certificates (PEM) beside the system's, for Security other than None.
    MailSender(std::string server, std::string user, std::string password, unsigned short port = 25,
               std::chrono::milliseconds timeout = kDefaultTimeout, Security security = Security::None,
               std::string caFile = std::string(), Auth auth = Auth::Login);
    ~MailSender();
    MailSender(const MailSender&) = delete;
    MailSender& operator=(const MailSender&) = delete;

    // The wrapper is not owned and must stay alive until sendMail() has returned.
    void setMail(MailWrapper* wrapper);
    // Sends the mail set by setMail; without one, does nothing. A mail over the server's size
    // limit (advertised, or shown by a 552) is MailTooLargeException, with the limit.
    void sendMail();
    // The server's size limit from its EHLO reply; 0 when it gave none.
    std::uint64_t serverSizeLimit() const { return sizeLimit; }
    // The whole mail was sent and the server's answer to it never came: it may have arrived.
    bool endOfDataSent() const { return endSent; }

    // The wait for the reply to the end of the data starts when the last byte has left this
    // machine, and lasts the recommended ten minutes of RFC 5321 section 4.5.3.2 (or the time-out,
    // when that is longer): a slow link must not turn an accepted mail into a failure, and a
    // retry into a second copy. Shorter values are for tests.
    static constexpr std::chrono::milliseconds kFinalReplyTimeout{10 * 60 * 1000};
    void setFinalReplyTimeout(std::chrono::milliseconds wait) { finalReplyTimeout = wait; }
    // Fewer bytes a second than this over a whole time-out period end the upload.
    static constexpr std::size_t kMinBytesPerSecond = 1024;

private:
    void conn();
    void hello();
    // The SIZE extension of an EHLO reply: listed at all, and its limit.
    void takeSize(const ReplyReader::Reply& ehloReply);
    void startTls();
    void secure();
    void login();
    void loginPlain();
    void sendHeader();
    void sendContent();
    void sendEnd();
    void quit();

    void sendCommand(Operation operation, const std::string& text);
    void sendRequest(Operation operation, const std::string& text);
    // Reads one whole reply; throws the expected code's message when no whole reply arrives.
    ReplyReader::Reply readReply(const std::string& expected);
    ReplyReader::Reply readReply(const std::string& expected, std::chrono::steady_clock::time_point until);
    void rcvResponse(const std::string& expected);
    // Sends message text through the DATA transparency filter in bounded pieces.
    void sendData(Operation operation, const char* data, std::size_t size);
    void flushData(Operation operation, std::string& wire);
    [[noreturn]] void fail(const std::string& message, bool connectionLost, const std::string& reason);
    // The network's failure (see MailException::network()); the connection is of no further use.
    [[noreturn]] void failNetwork(const std::string& message, const std::string& reason);
    // What the dialogue is doing now, for the reasons of failures: the step's name in a refusal
    // ("login refused by ...") and what was being done ("... while logging in").
    void at(const char* step, const char* activity);
    std::string peer() const;
    std::string refused(const ReplyReader::Reply& reply) const;
    std::string tooSlow() const;
    // Throws MailTooLargeException when reply refuses the mail for its size.
    void tooLargeIf(const ReplyReader::Reply& reply);
    std::string seconds(std::chrono::steady_clock::time_point until) const;
    MUtils::TcpSocket& sock();
    std::chrono::steady_clock::time_point deadline() const;

    std::string server;
    std::string user;
    std::string password;
    std::unique_ptr<MUtils::TcpSocket> socket;
    MailWrapper* mail;
    unsigned short port;
    std::chrono::milliseconds timeout;
    Security security;
    std::string caFile;
    Auth auth;
    ReplyReader reader;
    DataFilter filter;
    bool broken = false; // the dialogue is out of step or the connection is gone: no QUIT
    bool endSent = false; // the whole mail is on its way, its answer has not come
    std::chrono::milliseconds finalReplyTimeout = kFinalReplyTimeout;
    const char* step = "greeting";
    const char* activity = "waiting for its greeting";
    std::chrono::steady_clock::time_point waitStarted;
    bool sizeAdvertised = false;  // the EHLO reply listed SIZE
    std::uint64_t sizeLimit = 0;  // its limit; 0 when none was given
};

} // namespace SMailer
