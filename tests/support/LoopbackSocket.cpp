#include "LoopbackSocket.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
[[noreturn]] void fail(const char *call)
{
    throw std::runtime_error(std::string(call) + " failed: " + std::strerror(errno));
}
} // namespace

LoopbackSocket::LoopbackSocket()
    : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    if (fd < 0)
        fail("socket()");
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        fail("bind()");
    }
    boundPort = ntohs(address.sin_port);
}

LoopbackSocket::~LoopbackSocket()
{
    ::close(fd);
}

void LoopbackSocket::listen(int backlog)
{
    if (::listen(fd, backlog) != 0)
        fail("listen()");
}

void LoopbackSocket::shutdown()
{
    ::shutdown(fd, SHUT_RDWR);
}

bool LoopbackSocket::writeAll(int descriptor, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(descriptor, bytes.constData() + done, size_t(bytes.size() - done),
                                 MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool LoopbackSocket::waitForPeerClose(int descriptor, int timeoutMs, QByteArray *received)
{
    const QDeadlineTimer deadline(timeoutMs); // negative: never expires
    char buffer[4096];
    for (;;) {
        pollfd wait {descriptor, POLLIN, 0};
        const int ready = ::poll(&wait, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return false;
        const ssize_t n = ready < 0 ? -1 : ::recv(descriptor, buffer, sizeof(buffer), 0);
        if (n <= 0)
            return true; // closed, reset, or shut down under us: the exchange is over
        if (received)
            received->append(buffer, int(n));
    }
}
