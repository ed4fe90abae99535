#include "smailer/mailsender.h"

#include "smailer/base64helper.h"
#include "smailer/ehlocapabilities.h"
#include "smailer/mailexception.h"
#include "smailer/mailwrapper.h"
#include "smailer/tcpsocket.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace SMailer {

namespace {

// Wire bytes collected before each send while streaming the message.
constexpr std::size_t kSendPiece = 256 * 1024;

const char kEndOfData[] = ".\r\n";

} // namespace

MailSender::MailSender(std::string server, std::string user, std::string password, unsigned short port,
                       std::chrono::milliseconds timeout, Security security, std::string caFile, Auth auth)
    : server(std::move(server)), user(std::move(user)), password(std::move(password)),
      socket(std::make_unique<MUtils::TcpSocket>()), mail(nullptr), port(port), timeout(timeout), security(security),
      caFile(std::move(caFile)), auth(auth)
{
    if (auth == Auth::None)
        this->password.clear(); // nothing of it is kept where it is not needed
    // A throw here destroys the members, which closes the socket; no QUIT is sent.
    conn();
    hello();
    if (this->user.empty() || auth == Auth::None)
        return;
    if (auth == Auth::Plain)
        loginPlain();
    else
        login();
}

MailSender::~MailSender()
{
    try {
        if (!broken && socket->isOpen())
            quit();
    } catch (...) {
        // The mail's fate is decided already; a failing QUIT changes nothing.
    }
    socket->close();
}

void MailSender::tooLargeIf(const ReplyReader::Reply& reply)
{
    // The enhanced code 5.3.4, whatever the basic code: the mail is over a size limit. A bare 552
    // (no enhanced code) says so only from a server that gave no limit of its own, or one the mail
    // is over; 552 5.2.2 (mailbox full) and the other enhanced codes are not about this mail's size.
    const bool sizeCode =
        reply.text.find(" 5.3.4") != std::string::npos || reply.text.find("-5.3.4") != std::string::npos;
    const bool enhanced =
        reply.text.size() >= 9 && reply.text[4] >= '2' && reply.text[4] <= '5' && reply.text[5] == '.';
    const bool tooLarge =
        sizeCode || (reply.code == "552" && !enhanced && (sizeLimit == 0 || mail->wireSize() > sizeLimit));
    if (!tooLarge)
        return;
    // The limit is the advertised one when there is one; else the refused size bounds it.
    const std::uint64_t refusedSize = mail->wireSize();
    const std::uint64_t limit = sizeLimit > 0 && sizeLimit < refusedSize ? sizeLimit : refusedSize;
    throw MailTooLargeException(ErrorMessage::getInstance().response("250"), refused(reply), limit, limit == sizeLimit);
}

std::string MailSender::tooSlow() const
{
    return "the upload to " + peer() + " was slower than 1 KiB/s for " + std::to_string(timeout.count() / 1000) +
           " s while " + activity;
}

std::string MailSender::seconds(std::chrono::steady_clock::time_point until) const
{
    // The wait that ran out: the time-out, or the longer wait for the final reply.
    const auto waited = until - waitStarted;
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited + std::chrono::milliseconds(500)).count());
}

MUtils::TcpSocket& MailSender::sock()
{
    return *socket;
}

std::chrono::steady_clock::time_point MailSender::deadline() const
{
    return std::chrono::steady_clock::now() + timeout;
}

void MailSender::fail(const std::string& message, bool connectionLost, const std::string& reason)
{
    if (connectionLost)
        broken = true;
    throw MailException(message, reason);
}

void MailSender::failNetwork(const std::string& message, const std::string& reason)
{
    broken = true;
    throw MailException(message, reason, true);
}

void MailSender::at(const char* stepName, const char* doing)
{
    step = stepName;
    activity = doing;
}

std::string MailSender::peer() const
{
    return server + ":" + std::to_string(port);
}

// "login refused by smtp.example.org:587: 535 5.7.8 Authentication credentials invalid"
std::string MailSender::refused(const ReplyReader::Reply& reply) const
{
    std::string text = reply.text;
    // The last line says it; multi-line replies repeat the code on every line.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    const std::size_t lastLine = text.rfind('\n');
    if (lastLine != std::string::npos)
        text.erase(0, lastLine + 1);
    if (text.size() > 200)
        text.resize(200);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    }
    return std::string(step) + " refused by " + peer() + ": " + text;
}

void MailSender::setMail(MailWrapper* wrapper)
{
    mail = wrapper;
}

void MailSender::conn()
{
    at("greeting", "waiting for its greeting");
    switch (sock().connect(server, port, deadline())) {
    case MUtils::TcpSocket::ConnectResult::ResolveFailed:
        failNetwork("Get server infomation error", "could not find the server " + server);
    case MUtils::TcpSocket::ConnectResult::ConnectFailed: {
        const int error = sock().lastError();
        std::string why = error == ETIMEDOUT ? "no answer within " + std::to_string(timeout.count() / 1000) + " s"
                                             : std::string(std::strerror(error));
        if (!why.empty())
            why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
        failNetwork(ErrorMessage::getInstance().response("220"), "could not connect to " + peer() + ": " + why);
    }
    case MUtils::TcpSocket::ConnectResult::Connected:
        break;
    }
    if (security == Security::Tls)
        secure();
    rcvResponse("220");
}

void MailSender::secure()
{
    switch (sock().startTls(server, caFile, deadline())) {
    case MUtils::TcpSocket::TlsResult::Ok:
        return;
    case MUtils::TcpSocket::TlsResult::VerificationFailed:
        fail("Server certificate verification error", true, "server certificate not trusted (" + peer() + ")");
    case MUtils::TcpSocket::TlsResult::HandshakeFailed:
        fail("TLS handshake error", true, "the TLS handshake with " + peer() + " failed");
    }
}

void MailSender::startTls()
{
    at("STARTTLS", "starting TLS");
    sendCommand(SendStartTls, "STARTTLS\r\n");
    const ReplyReader::Reply reply = readReply("220");
    if (reply.code != "220")
        fail("Server does not support STARTTLS", false, refused(reply));
    // Whatever came after the 220 in clear text is not to be trusted as part of the TLS
    // dialogue (it could be injected): such a server is refused.
    if (reader.pending() != 0)
        fail("TLS handshake error", true, peer() + " sent clear text after agreeing to TLS");
    secure();
}

void MailSender::hello()
{
    std::string host;
    if (!MUtils::TcpSocket::localHostName(host))
        fail("Get local host name error", false, "cannot read this machine's host name");
    // AUTH exists only after EHLO; servers that do not know EHLO refuse it with 5xx.
    at("greeting", "greeting it");
    sendCommand(SendHelo, "EHLO " + host + "\r\n");
    const ReplyReader::Reply reply = readReply("250");
    const std::string& code = reply.code;
    if (security == Security::StartTls) {
        if (code != "250" || !EhloCapabilities::parse(reply.text).startTls)
            fail("Server does not support STARTTLS", false, peer() + " does not offer STARTTLS");
        startTls();
        // The server forgets everything said before TLS; greet it again.
        sendCommand(SendHelo, "EHLO " + host + "\r\n");
        const ReplyReader::Reply again = readReply("250");
        if (again.code != "250")
            fail(ErrorMessage::getInstance().response("250"), false, refused(again));
        takeSize(again);
        return;
    }
    if (code == "250") {
        takeSize(reply);
        return;
    }
    if (code.size() != 3 || code[0] != '5')
        fail(ErrorMessage::getInstance().response("250"), false, refused(reply));
    sendCommand(SendHelo, "HELO " + host + "\r\n");
    rcvResponse("250");
}

void MailSender::takeSize(const ReplyReader::Reply& ehloReply)
{
    const EhloCapabilities offered = EhloCapabilities::parse(ehloReply.text);
    sizeAdvertised = offered.size;
    if (offered.size)
        sizeLimit = offered.sizeLimit;
}

void MailSender::login()
{
    at("login", "logging in");
    sendCommand(SendAuth, "AUTH LOGIN\r\n");
    rcvResponse("334");
    sendCommand(SendUserName, Base64Helper::encode(user) + "\r\n");
    rcvResponse("334");
    sendCommand(SendPassword, Base64Helper::encode(password) + "\r\n");
    rcvResponse("235");
}

void MailSender::loginPlain()
{
    at("login", "logging in");
    // RFC 4616: an empty authorization identity, the login and the password, each after a NUL.
    if (user.find('\0') != std::string::npos || password.find('\0') != std::string::npos)
        fail(ErrorMessage::getInstance().request(SendAuth), false,
             "the login or the password holds a NUL byte; nothing was sent while logging in");
    std::string message(1, '\0');
    message += user;
    message += '\0';
    message += password;
    const std::string response = Base64Helper::encode(message);
    const std::string command = "AUTH PLAIN " + response + "\r\n";
    // RFC 4954 section 4: the response goes with the command only while the command line stays
    // within SMTP's 512 octets; else it answers the server's empty challenge.
    if (command.size() <= 512) {
        sendCommand(SendAuth, command);
    } else {
        sendCommand(SendAuth, "AUTH PLAIN\r\n");
        rcvResponse("334");
        sendCommand(SendPassword, response + "\r\n");
    }
    rcvResponse("235");
}

void MailSender::sendMail()
{
    if (!mail)
        return;
    sendHeader();
    if (mail->isMultipart() != 0) {
        sendContent();
    } else {
        const std::string body = mail->getSinglePartBody();
        sendData(SendContent, body.data(), body.size());
    }
    sendEnd();
}

void MailSender::sendHeader()
{
    at("sender", "naming the sender");
    std::string mailFrom = "MAIL FROM: " + mail->getSenderAddress();
    if (sizeAdvertised) {
        // RFC 1870: the server can refuse a mail over its limit before a byte of it is sent.
        const std::uint64_t size = mail->wireSize();
        if (sizeLimit > 0 && size > sizeLimit)
            throw MailTooLargeException(ErrorMessage::getInstance().response("250"),
                                        "the report (" + std::to_string(size) + " bytes) is larger than " + peer() +
                                            " accepts (" + std::to_string(sizeLimit) + " bytes)",
                                        sizeLimit, true);
        mailFrom += " SIZE=" + std::to_string(size);
    }
    sendCommand(SendMailFrom, mailFrom + "\r\n");
    const ReplyReader::Reply accepted = readReply("250");
    if (accepted.code != "250") {
        tooLargeIf(accepted);
        fail(ErrorMessage::getInstance().response("250"), false, refused(accepted));
    }
    mail->traverseReceiver();
    at("receiver", "naming the receiver");
    while (mail->hasMoreReceiver()) {
        sendCommand(SendRcptTo, "RCPT TO: " + mail->nextReceiverAddress() + "\r\n");
        rcvResponse("250");
    }
    at("data", "starting the data");
    sendCommand(SendData, "DATA\r\n");
    rcvResponse("354");
    // Until the end of the data is answered, a QUIT would be taken as data: a mail cut off on the
    // way (its attachment failed) ends by closing the connection, which the server discards.
    broken = true;
    at("the report", "sending the report");
    sock().startLowSpeedLimit(kMinBytesPerSecond, timeout);
    filter.reset();
    const std::string header = mail->getHeader();
    sendData(SendHeader, header.data(), header.size());
}

void MailSender::sendContent()
{
    mail->traverseContent();
    while (mail->hasMoreContent()) {
        std::string wire;
        wire.reserve(kSendPiece + kSendPiece / 8);
        mail->nextPartTo([&](const char* data, std::size_t size) {
            filter.feed(data, size, wire);
            if (wire.size() >= kSendPiece)
                flushData(SendContent, wire);
        });
        flushData(SendContent, wire);
    }
}

void MailSender::sendEnd()
{
    std::string end = mail->getEnd();
    // The end text closes with the end-of-data line, which must reach the wire unstuffed and
    // at the start of a line.
    const std::size_t markLength = sizeof kEndOfData - 1;
    if (end.size() >= markLength && end.compare(end.size() - markLength, markLength, kEndOfData) == 0)
        end.erase(end.size() - markLength);
    std::string wire;
    filter.feed(end.data(), end.size(), wire);
    filter.finish(wire);
    wire += kEndOfData;
    flushData(SendEnd, wire);
    if (sock().drain(timeout) != MUtils::TcpSocket::Status::Ok)
        failNetwork(ErrorMessage::getInstance().request(SendEnd), tooSlow());
    sock().stopLowSpeedLimit();
    const auto wait = finalReplyTimeout > timeout ? finalReplyTimeout : timeout;
    endSent = true;
    at("the report", "waiting for the answer to the whole report");
    const ReplyReader::Reply reply = readReply("250", std::chrono::steady_clock::now() + wait);
    endSent = false;
    broken = false;
    if (reply.code != "250") {
        tooLargeIf(reply);
        fail(ErrorMessage::getInstance().response("250"), false, refused(reply));
    }
}

void MailSender::quit()
{
    at("QUIT", "ending the session");
    sendCommand(SendQuit, "QUIT\r\n");
    rcvResponse("221");
    socket->close();
}

void MailSender::sendCommand(Operation operation, const std::string& text)
{
    // One command line: a host name or address holding a line break (from a misconfigured
    // deployment) must not smuggle a second command into the session.
    const std::size_t end = text.size() >= 2 ? text.size() - 2 : 0;
    if (text.compare(end, std::string::npos, "\r\n") != 0 || text.find_first_of(std::string("\r\n\0", 3)) != end)
        fail(ErrorMessage::getInstance().request(operation), false,
             "a configured value holds a line break; nothing was sent while " + std::string(activity));
    sendRequest(operation, text);
}

void MailSender::sendRequest(Operation operation, const std::string& text)
{
    const MUtils::TcpSocket::Status status = sock().sendAll(text.data(), text.size(), deadline());
    if (status == MUtils::TcpSocket::Status::Timeout)
        failNetwork(ErrorMessage::getInstance().request(operation), tooSlow());
    if (status != MUtils::TcpSocket::Status::Ok)
        failNetwork(ErrorMessage::getInstance().request(operation),
                    "the connection to " + peer() + " was lost while " + activity);
}

void MailSender::sendData(Operation operation, const char* data, std::size_t size)
{
    std::string wire;
    for (std::size_t offset = 0; offset < size; offset += kSendPiece) {
        const std::size_t piece = size - offset < kSendPiece ? size - offset : kSendPiece;
        filter.feed(data + offset, piece, wire);
        flushData(operation, wire);
    }
}

void MailSender::flushData(Operation operation, std::string& wire)
{
    if (wire.empty())
        return;
    sendRequest(operation, wire);
    wire.clear();
}

ReplyReader::Reply MailSender::readReply(const std::string& expected)
{
    return readReply(expected, deadline());
}

ReplyReader::Reply MailSender::readReply(const std::string& expected, std::chrono::steady_clock::time_point until)
{
    waitStarted = std::chrono::steady_clock::now();
    const std::string message = ErrorMessage::getInstance().response(expected);
    ReplyReader::Reply reply;
    char buffer[4096];
    while (!reader.next(reply)) {
        if (reader.overflowed())
            fail(message, true, peer() + " sent an endless reply while " + std::string(activity));
        std::size_t received = 0;
        const MUtils::TcpSocket::Status status = sock().receive(buffer, sizeof buffer, received, until);
        if (status == MUtils::TcpSocket::Status::Timeout)
            failNetwork(message,
                        "no answer from the server within " + seconds(until) + " s while " + std::string(activity));
        if (status != MUtils::TcpSocket::Status::Ok)
            failNetwork(message, peer() + " closed the connection while " + std::string(activity));
        reader.feed(buffer, received);
    }
    return reply;
}

void MailSender::rcvResponse(const std::string& expected)
{
    const ReplyReader::Reply reply = readReply(expected);
    if (reply.code != expected)
        fail(ErrorMessage::getInstance().response(expected), false, refused(reply));
}

} // namespace SMailer
