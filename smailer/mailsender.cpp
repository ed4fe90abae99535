#include "smailer/mailsender.h"

#include "smailer/base64helper.h"
#include "smailer/mailexception.h"
#include "smailer/mailwrapper.h"
#include "smailer/tcpsocket.h"

#include <cctype>

namespace SMailer {

namespace {

// Wire bytes collected before each send while streaming the message.
constexpr std::size_t kSendPiece = 256 * 1024;

const char kEndOfData[] = ".\r\n";

// True when an EHLO reply lists the STARTTLS extension on one of its lines.
bool offersStartTls(const std::string& reply)
{
    std::size_t start = 0;
    while (start < reply.size()) {
        std::size_t end = reply.find('\n', start);
        if (end == std::string::npos)
            end = reply.size();
        std::string keyword = reply.substr(start + 4 <= end ? start + 4 : end, end - (start + 4 <= end ? start + 4 : end));
        while (!keyword.empty() && (keyword.back() == '\r' || keyword.back() == ' '))
            keyword.pop_back();
        for (char& c : keyword)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (keyword == "STARTTLS")
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

MailSender::MailSender(std::string server, std::string user, std::string password, unsigned short port,
                       std::chrono::milliseconds timeout, Security security, std::string caFile)
    : server(std::move(server)), user(std::move(user)), password(std::move(password)),
      socket(std::make_unique<MUtils::TcpSocket>()), mail(nullptr), port(port), timeout(timeout), security(security),
      caFile(std::move(caFile))
{
    // A throw here destroys the members, which closes the socket; no QUIT is sent.
    conn();
    hello();
    if (!this->user.empty())
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

MUtils::TcpSocket& MailSender::sock()
{
    return *socket;
}

std::chrono::steady_clock::time_point MailSender::deadline() const
{
    return std::chrono::steady_clock::now() + timeout;
}

void MailSender::fail(const std::string& message, bool connectionLost)
{
    if (connectionLost)
        broken = true;
    throw MailException(message);
}

void MailSender::setMail(MailWrapper* wrapper)
{
    mail = wrapper;
}

void MailSender::conn()
{
    switch (sock().connect(server, port, deadline())) {
    case MUtils::TcpSocket::ConnectResult::ResolveFailed:
        fail("Get server infomation error", true);
    case MUtils::TcpSocket::ConnectResult::ConnectFailed:
        fail(ErrorMessage::getInstance().response("220"), true);
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
        fail("Server certificate verification error", true);
    case MUtils::TcpSocket::TlsResult::HandshakeFailed:
        fail("TLS handshake error", true);
    }
}

void MailSender::startTls()
{
    sendCommand(SendStartTls, "STARTTLS\r\n");
    if (readReply("220").code != "220")
        fail("Server does not support STARTTLS", false);
    // Whatever came after the 220 in clear text is not to be trusted as part of the TLS
    // dialogue (it could be injected): such a server is refused.
    if (reader.pending() != 0)
        fail("TLS handshake error", true);
    secure();
}

void MailSender::hello()
{
    std::string host;
    if (!MUtils::TcpSocket::localHostName(host))
        fail("Get local host name error", false);
    // AUTH exists only after EHLO; servers that do not know EHLO refuse it with 5xx.
    sendCommand(SendHelo, "EHLO " + host + "\r\n");
    const ReplyReader::Reply reply = readReply("250");
    const std::string& code = reply.code;
    if (security == Security::StartTls) {
        if (code != "250" || !offersStartTls(reply.text))
            fail("Server does not support STARTTLS", false);
        startTls();
        // The server forgets everything said before TLS; greet it again.
        sendCommand(SendHelo, "EHLO " + host + "\r\n");
        rcvResponse("250");
        return;
    }
    if (code == "250")
        return;
    if (code.size() != 3 || code[0] != '5')
        fail(ErrorMessage::getInstance().response("250"), false);
    sendCommand(SendHelo, "HELO " + host + "\r\n");
    rcvResponse("250");
}

void MailSender::login()
{
    sendCommand(SendAuth, "AUTH LOGIN\r\n");
    rcvResponse("334");
    sendCommand(SendUserName, Base64Helper::encode(user) + "\r\n");
    rcvResponse("334");
    sendCommand(SendPassword, Base64Helper::encode(password) + "\r\n");
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
    sendCommand(SendMailFrom, "MAIL FROM: " + mail->getSenderAddress() + "\r\n");
    rcvResponse("250");
    mail->traverseReceiver();
    while (mail->hasMoreReceiver()) {
        sendCommand(SendRcptTo, "RCPT TO: " + mail->nextReceiverAddress() + "\r\n");
        rcvResponse("250");
    }
    sendCommand(SendData, "DATA\r\n");
    rcvResponse("354");
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
        fail(ErrorMessage::getInstance().request(SendEnd), true);
    sock().stopLowSpeedLimit();
    const auto wait = finalReplyTimeout > timeout ? finalReplyTimeout : timeout;
    if (readReply("250", std::chrono::steady_clock::now() + wait).code != "250")
        fail(ErrorMessage::getInstance().response("250"), false);
}

void MailSender::quit()
{
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
        fail(ErrorMessage::getInstance().request(operation), false);
    sendRequest(operation, text);
}

void MailSender::sendRequest(Operation operation, const std::string& text)
{
    if (sock().sendAll(text.data(), text.size(), deadline()) != MUtils::TcpSocket::Status::Ok)
        fail(ErrorMessage::getInstance().request(operation), true);
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
    const std::string message = ErrorMessage::getInstance().response(expected);
    ReplyReader::Reply reply;
    char buffer[4096];
    while (!reader.next(reply)) {
        if (reader.overflowed())
            fail(message, true);
        std::size_t received = 0;
        if (sock().receive(buffer, sizeof buffer, received, until) != MUtils::TcpSocket::Status::Ok)
            fail(message, true);
        reader.feed(buffer, received);
    }
    return reply;
}

void MailSender::rcvResponse(const std::string& expected)
{
    if (readReply(expected).code != expected)
        fail(ErrorMessage::getInstance().response(expected), false);
}

} // namespace SMailer
