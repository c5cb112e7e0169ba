#include "SheddingServerSocket.h"

#include <QString>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

int openReserve()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

SheddingServerSocket::SheddingServerSocket(const std::string &address, int port)
    : m_socket(address, port)
    , m_reserve(openReserve())
{
}

SheddingServerSocket::~SheddingServerSocket()
{
    if (m_reserve >= 0)
        ::close(m_reserve);
}

void SheddingServerSocket::listen()
{
    m_socket.listen();
    const int listening = descriptor();
    ::fcntl(listening, F_SETFL, ::fcntl(listening, F_GETFL) | O_NONBLOCK);
}

int SheddingServerSocket::descriptor()
{
    return m_socket.getSocketFD();
}

SheddingServerSocket::Accepted SheddingServerSocket::accept(int &client, sockaddr_storage &peer)
{
    for (;;) {
        socklen_t size = sizeof peer;
        client = ::accept4(descriptor(), reinterpret_cast<sockaddr *>(&peer), &size,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client >= 0)
            return Accepted::Connection;
        // A client that gave up while queued, or a signal: take the next one.
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Accepted::NoneWaiting;
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        const int shed = shedWaiting();
        m_failures.write(QStringLiteral("accept failed (%1); refused %2 waiting connection(s);"
                                        " backing off")
                             .arg(reason)
                             .arg(shed));
        return Accepted::Shed;
    }
}

int SheddingServerSocket::shedWaiting()
{
    if (m_reserve >= 0) {
        ::close(m_reserve);
        m_reserve = -1;
    }
    int shed = 0;
    for (;;) {
        const int client = ::accept4(descriptor(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            break;
        ::close(client);
        ++shed;
    }
    m_reserve = openReserve();
    return shed;
}
