#include "DelayProxy.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <deque>
#include <stdexcept>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

qint64 nowMs()
{
    return QDeadlineTimer::current().deadline();
}

int loopbackSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    return fd;
}

sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void noDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

} // namespace

DelayProxy::DelayProxy(int upstreamPort, int oneWayMs)
    : upstreamPort(upstreamPort)
    , oneWayMs(oneWayMs)
{
    listener = loopbackSocket();
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof(address);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(listener, 64) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("the proxy cannot listen");
    listeningPort = ntohs(address.sin_port);
    acceptor = std::thread(&DelayProxy::acceptLoop, this);
}

DelayProxy::~DelayProxy()
{
    stopping = true;
    ::shutdown(listener, SHUT_RDWR);
    acceptor.join();
    dropConnections();
    ::close(listener);
}

void DelayProxy::dropConnections()
{
    std::list<Link> ending;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ending.swap(links);
    }
    for (Link &link : ending) {
        ::shutdown(link.client, SHUT_RDWR);
        ::shutdown(link.server, SHUT_RDWR);
        link.up.join();
        link.down.join();
        ::close(link.client);
        ::close(link.server);
    }
}

void DelayProxy::acceptLoop()
{
    while (!stopping) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (stopping)
                return;
            continue;
        }
        const int server = loopbackSocket();
        const sockaddr_in upstream = loopback(upstreamPort);
        if (::connect(server, reinterpret_cast<const sockaddr *>(&upstream), sizeof(upstream))
            != 0) {
            ::close(server);
            ::close(client);
            continue;
        }
        noDelay(client);
        noDelay(server);
        ++accepted;
        std::lock_guard<std::mutex> lock(mutex);
        links.emplace_back();
        Link &link = links.back();
        link.client = client;
        link.server = server;
        // The connect's round trip falls on the client's first bytes.
        link.up = std::thread(&DelayProxy::pump, client, server, oneWayMs, 2 * oneWayMs);
        link.down = std::thread(&DelayProxy::pump, server, client, oneWayMs, 0);
    }
}

void DelayProxy::pump(int from, int to, int delayMs, int firstExtraMs)
{
    std::deque<std::pair<qint64, QByteArray>> queue;
    bool first = true;
    bool ended = false;
    char buffer[16384];
    while (!ended || !queue.empty()) {
        int wait = -1;
        if (!queue.empty())
            wait = int(qMax<qint64>(0, queue.front().first - nowMs()));
        if (ended && wait > 0) {
            ::usleep(useconds_t(wait) * 1000);
            wait = 0;
        }
        if (!ended) {
            pollfd watched {from, POLLIN, 0};
            const int ready = ::poll(&watched, 1, wait);
            if (ready > 0) {
                const ssize_t got = ::recv(from, buffer, sizeof(buffer), 0);
                if (got <= 0) {
                    ended = true;
                } else {
                    const qint64 due = nowMs() + delayMs + (first ? firstExtraMs : 0);
                    first = false;
                    queue.emplace_back(due, QByteArray(buffer, int(got)));
                }
            }
        }
        while (!queue.empty() && queue.front().first <= nowMs()) {
            const QByteArray &bytes = queue.front().second;
            qint64 sent = 0;
            while (sent < bytes.size()) {
                const ssize_t wrote = ::send(to, bytes.constData() + sent,
                                             size_t(bytes.size() - sent), MSG_NOSIGNAL);
                if (wrote <= 0) {
                    ::shutdown(from, SHUT_RDWR);
                    return;
                }
                sent += wrote;
            }
            queue.pop_front();
        }
    }
    // What one side closed, the other sees closed, a one-way delay later.
    ::shutdown(to, SHUT_WR);
}
