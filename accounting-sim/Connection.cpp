#include "Connection.h"

#include "TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

Connection::Connection(quint64 id, int descriptor, const QString &peer, SSL *ssl,
                       const RequestReader &reader)
    : id(id)
    , descriptor(descriptor)
    , ssl(ssl)
    , caller(std::make_shared<Caller>())
    , state(ssl ? State::Handshake : State::Idle)
    , reader(reader)
{
    caller->peer = peer;
}

Connection::~Connection()
{
    if (ssl) {
        // A goodbye, if the socket takes it now: the client sees the end
        // of the session rather than a cut.
        if (!m_broken && SSL_is_init_finished(ssl))
            SSL_shutdown(ssl);
        ERR_clear_error();
        SSL_free(ssl);
    }
    ::close(descriptor);
}

Connection::Io Connection::failed(const QString &reason)
{
    m_failure = reason;
    m_broken = true;
    return Io::Failed;
}

Connection::Io Connection::sslResult(int result)
{
    const int error = SSL_get_error(ssl, result);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return Io::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Io::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        return Io::Ended;
    case SSL_ERROR_SYSCALL:
        m_broken = true;
        if (errno == 0 || errno == ECONNRESET || errno == EPIPE) {
            ERR_clear_error();
            return Io::Ended;
        }
        ERR_clear_error();
        return failed(QString::fromLocal8Bit(std::strerror(errno)));
    default:
        return failed(TlsContext::handshakeFailure(ssl));
    }
}

Connection::Io Connection::handshake()
{
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(ssl);
    return result == 1 ? Io::Done : sslResult(result);
}

Connection::Io Connection::receive(char *into, size_t size, size_t &got)
{
    got = 0;
    if (ssl) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_read_ex(ssl, into, size, &got);
        return result == 1 ? Io::Done : sslResult(result);
    }
    for (;;) {
        const ssize_t received = ::recv(descriptor, into, size, 0);
        if (received > 0) {
            got = size_t(received);
            return Io::Done;
        }
        if (received == 0)
            return Io::Ended;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Io::WantRead;
        if (errno == ECONNRESET)
            return Io::Ended;
        return failed(QString::fromLocal8Bit(std::strerror(errno)));
    }
}

Connection::Io Connection::send()
{
    while (sent < output.size()) {
        if (ssl) {
            ERR_clear_error();
            errno = 0;
            size_t written = 0;
            const int result
                = SSL_write_ex(ssl, output.data() + sent, output.size() - sent, &written);
            if (result != 1)
                return sslResult(result);
            sent += written;
            continue;
        }
        const ssize_t written
            = ::send(descriptor, output.data() + sent, output.size() - sent, MSG_NOSIGNAL);
        if (written >= 0) {
            sent += size_t(written);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return Io::WantWrite;
        } else if (errno == EPIPE || errno == ECONNRESET) {
            return Io::Ended;
        } else if (errno != EINTR) {
            return failed(QString::fromLocal8Bit(std::strerror(errno)));
        }
    }
    return Io::Done;
}
