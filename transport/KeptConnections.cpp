#include "KeptConnections.h"

#include "Limits.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>

#include <mutex>
#include <vector>

#include <poll.h>

#include <thrift/transport/TSocket.h>

namespace {

struct Kept
{
    QString settings;
    KeptConnections::Socket socket;
    qint64 since; // monotonic milliseconds
};

std::mutex lock;

// Never destroyed: a TLS socket closed after OpenSSL's own clean-up at exit
// would touch freed state. The process's exit closes the descriptors.
QHash<QString, QList<Kept>> &kept()
{
    static auto *connections = new QHash<QString, QList<Kept>>;
    return *connections;
}

qint64 now()
{
    return QDeadlineTimer::current().deadline();
}

// Outside the lock: a TLS socket says goodbye to its peer as it closes.
void closeAll(std::vector<KeptConnections::Socket> &sockets)
{
    for (const KeptConnections::Socket &socket : sockets)
        socket->close();
    sockets.clear();
}

} // namespace

KeptConnections::Socket KeptConnections::take(const QString &endpoint, const QString &settings,
                                              qint64 maxIdleMs)
{
    std::vector<Socket> closing;
    Socket found;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto list = kept().find(endpoint);
        if (list == kept().end())
            return nullptr;
        const qint64 oldest = now() - maxIdleMs;
        // The most recently used first: the least likely to be stale.
        while (!list->isEmpty()) {
            Kept candidate = list->takeLast();
            if (maxIdleMs <= 0 || candidate.settings != settings || candidate.since < oldest
                || isStale(*candidate.socket)) {
                closing.push_back(candidate.socket);
                continue;
            }
            found = candidate.socket;
            break;
        }
        // Other settings for this endpoint now: what the old ones made goes.
        for (auto it = list->begin(); it != list->end();) {
            if (it->settings != settings || it->since < oldest) {
                closing.push_back(it->socket);
                it = list->erase(it);
            } else {
                ++it;
            }
        }
        if (list->isEmpty())
            kept().erase(list);
    }
    closeAll(closing);
    return found;
}

void KeptConnections::keep(const QString &endpoint, const QString &settings, Socket socket)
{
    std::vector<Socket> closing;
    {
        std::lock_guard<std::mutex> guard(lock);
        QList<Kept> &list = kept()[endpoint];
        list.append(Kept {settings, std::move(socket), now()});
        // One till makes one call at a time; a few are plenty.
        while (list.size() > Limits::maxKeptPerEndpoint)
            closing.push_back(list.takeFirst().socket);
    }
    closeAll(closing);
}

void KeptConnections::drop(const QString &endpoint)
{
    std::vector<Socket> closing;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const Kept &connection : kept().take(endpoint))
            closing.push_back(connection.socket);
    }
    closeAll(closing);
}

int KeptConnections::size()
{
    std::lock_guard<std::mutex> guard(lock);
    int count = 0;
    for (const QList<Kept> &list : qAsConst(kept()))
        count += list.size();
    return count;
}

bool KeptConnections::isStale(apache::thrift::transport::TSocket &socket)
{
    const THRIFT_SOCKET fd = socket.getSocketFD();
    if (fd == THRIFT_INVALID_SOCKET)
        return true;
    // An idle connection has nothing to read: readable means the peer hung
    // up (EOF, RST) or sent something the next call would take for its
    // reply.
    pollfd watched {};
    watched.fd = fd;
    watched.events = POLLIN;
    return ::poll(&watched, 1, 0) != 0;
}
