#include "Attacker.h"

#include <QDeadlineTimer>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// What a slow client drips: the start of a balance call, a byte at a time.
const QByteArray dripped = QByteArray::fromHex("8001000100000007") + "balance"
    + QByteArray::fromHex("0b000100000010") + QByteArray(16, '7');

} // namespace

Attacker::Attacker(quint16 port, Kind kind, int connections, int perAddress)
    : m_port(port)
    , m_kind(kind)
    , m_connections(connections)
    , m_perAddress(perAddress)
    , m_thread([this] { run(); })
{
}

Attacker::~Attacker()
{
    m_stop = true;
    m_thread.join();
}

bool Attacker::waitUntilOpen(int ms) const
{
    QDeadlineTimer deadline(ms);
    while (m_firstRound < m_connections && !deadline.hasExpired())
        QThread::msleep(10);
    return m_firstRound >= m_connections;
}

int Attacker::open(int index)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in from {};
    from.sin_family = AF_INET;
    // 127.0.0.2, 127.0.0.3, ...: each address its share.
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + quint32(index / m_perAddress));
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0
        || (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0
            && errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    ++m_opened;
    return fd;
}

void Attacker::run()
{
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> sockets(size_t(m_connections), -1);
    std::vector<int> sent(size_t(m_connections), 0);
    const auto watch = [&](int index) {
        epoll_event event {};
        // The server closing the connection is all there is to see.
        event.events = EPOLLRDHUP | EPOLLIN;
        event.data.u32 = quint32(index);
        ::epoll_ctl(poller, EPOLL_CTL_ADD, sockets[size_t(index)], &event);
    };
    for (int i = 0; i < m_connections && !m_stop; ++i) {
        sockets[size_t(i)] = open(i);
        if (sockets[size_t(i)] >= 0)
            watch(i);
        ++m_firstRound;
    }

    std::vector<epoll_event> events(1024);
    auto nextDrip = std::chrono::steady_clock::now();
    while (!m_stop) {
        const int ready = ::epoll_wait(poller, events.data(), int(events.size()), 100);
        for (int e = 0; e < ready; ++e) {
            const int index = int(events[size_t(e)].data.u32);
            ::close(sockets[size_t(index)]);
            ++m_closed;
            sent[size_t(index)] = 0;
            sockets[size_t(index)] = open(index);
            if (sockets[size_t(index)] >= 0)
                watch(index);
        }
        // A socket that could not be made is tried again.
        for (int i = 0; i < m_connections; ++i) {
            if (sockets[size_t(i)] < 0 && (sockets[size_t(i)] = open(i)) >= 0)
                watch(i);
        }
        if (m_kind == Kind::Slow && std::chrono::steady_clock::now() >= nextDrip) {
            nextDrip += std::chrono::seconds(1);
            for (int i = 0; i < m_connections; ++i) {
                int &at = sent[size_t(i)];
                if (sockets[size_t(i)] >= 0 && at < dripped.size()
                    && ::send(sockets[size_t(i)], dripped.constData() + at, 1, MSG_NOSIGNAL) == 1)
                    ++at;
            }
        }
    }
    for (int fd : sockets) {
        if (fd >= 0)
            ::close(fd);
    }
    ::close(poller);
}
