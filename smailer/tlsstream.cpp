#include "smailer/tlsstream.h"

#include <csignal>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>

namespace MUtils {

namespace {

// OpenSSL writes to the socket with write(), which raises SIGPIPE when the peer has gone. While a
// guard lives, SIGPIPE is blocked in this thread; one that arrived meanwhile is taken off again.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &m_old);
    }
    ~SigpipeGuard()
    {
        if (!m_wasPending) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec zero{0, 0};
            while (sigtimedwait(&pipe, nullptr, &zero) > 0) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_old;
    bool m_wasPending = false;
};

} // namespace

struct TlsStream::Session {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;

    // No close_notify: the dialogue has ended with QUIT or has failed already.
    ~Session()
    {
        if (ssl)
            SSL_free(ssl);
        if (context)
            SSL_CTX_free(context);
    }

    // What a failed call with return code rc needs; the error queue is left empty.
    Step after(int rc)
    {
        const int error = SSL_get_error(ssl, rc);
        ERR_clear_error();
        switch (error) {
        case SSL_ERROR_WANT_READ:
            return Step::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return Step::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
        case SSL_ERROR_SYSCALL:
            return Step::Closed;
        default:
            return Step::Error;
        }
    }
};

TlsStream::TlsStream() : m_session(std::make_unique<Session>()) {}

TlsStream::~TlsStream() = default;

TlsStream::Setup TlsStream::setUp(int fd, const std::string& serverName, const std::string& caFile)
{
    SSL_CTX*& context = m_session->context;
    context = SSL_CTX_new(TLS_client_method());
    if (!context || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(context) != 1)
        return Setup::Failed;
    if (!caFile.empty() && SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1)
        return Setup::Unverifiable;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL*& ssl = m_session->ssl;
    ssl = SSL_new(context);
    if (!ssl || SSL_set_fd(ssl, fd) != 1)
        return Setup::Failed;

    // An address literal is checked against the certificate's IP entries and sends no SNI.
    unsigned char address[16];
    const bool isAddress =
        inet_pton(AF_INET, serverName.c_str(), address) == 1 || inet_pton(AF_INET6, serverName.c_str(), address) == 1;
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (isAddress)
        return X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str()) == 1 ? Setup::Ok : Setup::Unverifiable;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set1_host(ssl, serverName.c_str()) != 1 ||
        SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(serverName.c_str())) !=
            1)
        return Setup::Unverifiable;
    return Setup::Ok;
}

TlsStream::Step TlsStream::handshake()
{
    SigpipeGuard noSigpipe;
    ERR_clear_error();
    const int rc = SSL_connect(m_session->ssl);
    return rc == 1 ? Step::Done : m_session->after(rc);
}

bool TlsStream::verified() const
{
    return SSL_get_verify_result(m_session->ssl) == X509_V_OK;
}

TlsStream::Step TlsStream::write(const char* data, std::size_t size, std::size_t& written)
{
    SigpipeGuard noSigpipe;
    ERR_clear_error();
    written = 0;
    const int rc = SSL_write_ex(m_session->ssl, data, size, &written);
    return rc == 1 ? Step::Done : m_session->after(rc);
}

TlsStream::Step TlsStream::read(char* buffer, std::size_t capacity, std::size_t& received)
{
    SigpipeGuard noSigpipe;
    ERR_clear_error();
    received = 0;
    const int rc = SSL_read_ex(m_session->ssl, buffer, capacity, &received);
    return rc == 1 ? Step::Done : m_session->after(rc);
}

} // namespace MUtils
