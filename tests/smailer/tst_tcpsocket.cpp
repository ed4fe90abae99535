// The connection under network faults found by a hostile tester: a dead first address, a slow
// uplink that must not fail, and a reader so slow that the upload must end.

#include "smailer/mailexception.h"
#include "smailer/mailsender.h"
#include "smailer/tcpsocket.h"
#include "tests/tools/pythonservice.h"
#include "tests/tools/scriptedsmtpserver.h"
#include "tests/tools/smailermail.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using MUtils::TcpSocket;

namespace {

TcpSocket::Address addressOf(const char* literal, quint16 port)
{
    TcpSocket::Address result{};
    if (std::strchr(literal, ':')) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&result.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        inet_pton(AF_INET6, literal, &in6->sin6_addr);
        result.length = sizeof(sockaddr_in6);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&result.storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        inet_pton(AF_INET, literal, &in4->sin_addr);
        result.length = sizeof(sockaddr_in);
    }
    return result;
}

// An address that accepts nothing: a listener whose backlog is full, so that further connection
// attempts get no answer at all (as a host behind a broken route).
class DeadAddress {
public:
    DeadAddress(const char* literal, quint16 port) : m_address(addressOf(literal, port))
    {
        m_listener = ::socket(m_address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&m_address.storage), m_address.length) != 0 ||
            ::listen(m_listener, 0) != 0)
            return;
        for (int i = 0; i < 2; ++i) { // fill the accept queue
            const int fd = ::socket(m_address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&m_address.storage), m_address.length);
            m_fillers.push_back(fd);
        }
        ::usleep(100 * 1000);
        m_ok = true;
    }
    ~DeadAddress()
    {
        for (const int fd : m_fillers)
            ::close(fd);
        ::close(m_listener);
    }
    bool ok() const { return m_ok; }
    TcpSocket::Address address() const { return m_address; }

private:
    TcpSocket::Address m_address;
    int m_listener = -1;
    std::vector<int> m_fillers;
    bool m_ok = false;
};

// Sends a report mail of attachmentBytes through port with the given time-out; the failure's
// message, or empty when the server accepted it.
QString sendReport(quint16 port, int attachmentBytes, std::chrono::milliseconds timeout)
{
    QTemporaryDir dir;
    const QString archive = writeFile(dir.filePath(QStringLiteral("a_b.rar")), randomBytes(attachmentBytes));
    SmailerMail mail("a_b", "slow", QFile::encodeName(archive).toStdString());
    try {
        SMailer::MailSender sender("127.0.0.1", "bug@example.com", "Err.submit7", port, timeout);
        sender.setMail(&mail.wrapper());
        sender.sendMail();
    } catch (const SMailer::MailException& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

class tst_TcpSocket : public QObject {
    Q_OBJECT
private slots:
    void deadFirstAddress_data();
    void deadFirstAddress();
    void everyAddressDead();
    void slowLinkDelivers();
    void tooSlowReaderEnds();
};

void tst_TcpSocket::deadFirstAddress_data()
{
    QTest::addColumn<QByteArray>("dead");
    // Broken IPv6 beside working IPv4: the whole time-out went on the first address.
    QTest::newRow("::1 dead, 127.0.0.1 live") << QByteArray("::1");
    QTest::newRow("127.0.0.2 dead, 127.0.0.1 live") << QByteArray("127.0.0.2");
}

void tst_TcpSocket::deadFirstAddress()
{
    QFETCH(QByteArray, dead);
    ScriptedSmtpServer server;
    DeadAddress deadAddress(dead.constData(), server.port());
    QVERIFY(deadAddress.ok());
    TcpSocket socket;
    const auto result = socket.connect({deadAddress.address(), addressOf("127.0.0.1", server.port())},
                                       TcpSocket::Clock::now() + std::chrono::seconds(3));
    QCOMPARE(result, TcpSocket::ConnectResult::Connected);
    char greeting[64];
    std::size_t received = 0;
    QCOMPARE(socket.receive(greeting, sizeof greeting, received, TcpSocket::Clock::now() + std::chrono::seconds(5)),
             TcpSocket::Status::Ok);
    QVERIFY(QByteArray(greeting, static_cast<int>(received)).startsWith("220"));
}

void tst_TcpSocket::everyAddressDead()
{
    ScriptedSmtpServer server; // only for a free port number
    DeadAddress first("::1", server.port());
    DeadAddress second("127.0.0.2", server.port());
    QVERIFY(first.ok() && second.ok());
    TcpSocket socket;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(socket.connect({first.address(), second.address()}, TcpSocket::Clock::now() + std::chrono::seconds(1)),
             TcpSocket::ConnectResult::ConnectFailed);
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed()))); // bounded, not hung
}

void tst_TcpSocket::slowLinkDelivers()
{
    // At 400 KB/s and a 10 s time-out the report failed after 18.5 s while the server received
    // the whole mail: the wait for the final reply began when the last byte entered the kernel's
    // send buffer. Here: 200 KB/s, a 1 s time-out.
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ThrottleProxy link(sink.port(), 200 * 1000);
    QVERIFY2(link.isRunning(), qPrintable(link.error()));
    QCOMPARE(sendReport(link.port(), 900 * 1000, std::chrono::seconds(1)), QString());
    QVERIFY(sink.waitForMails(1));
}

void tst_TcpSocket::tooSlowReaderEnds()
{
    // A server that reads a little at a time kept the program alive without limit.
    SmtpSink sink;
    QVERIFY2(sink.isRunning(), qPrintable(sink.error()));
    ThrottleProxy link(sink.port(), 200);
    QVERIFY2(link.isRunning(), qPrintable(link.error()));
    QElapsedTimer clock;
    clock.start();
    const QString message = sendReport(link.port(), 4 * 1000 * 1000, std::chrono::seconds(2));
    QVERIFY2(message == QStringLiteral("Send mail content error") || message == QStringLiteral("Send mail end error"),
             qPrintable(message));
    QVERIFY2(clock.elapsed() < 60000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(sink.mails().isEmpty());
}

QTEST_GUILESS_MAIN(tst_TcpSocket)
#include "tst_tcpsocket.moc"
