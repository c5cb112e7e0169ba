#include "RawServer.h"

#include "ThriftMessages.h"
#include "WireTap.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// How long a silent server holds a connection after the request.
const int patienceMs = 2500;
} // namespace

RawServer::RawServer(Session session)
    : session(std::move(session))
{
    listener.listen();
    if (this->session)
        thread = std::thread(&RawServer::serve, this);
}

RawServer::RawServer(Behaviour behaviour, const QByteArray &answer)
    : session([this](int descriptor) { behave(descriptor); })
    , behaviour(behaviour)
    , answer(answer)
{
    listener.listen();
    thread = std::thread(&RawServer::serve, this);
}

RawServer::~RawServer()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        if (current >= 0)
            ::shutdown(current, SHUT_RDWR);
    }
    listener.shutdown();
    if (thread.joinable())
        thread.join();
}

QByteArray RawServer::received() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}

int RawServer::takeWaiting()
{
    Q_ASSERT(!thread.joinable());
    int count = 0;
    pollfd waiting {listener.descriptor(), POLLIN, 0};
    while (::poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN)) {
        const int client = ::accept4(listener.descriptor(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            break;
        ::close(client);
        ++count;
    }
    return count;
}

void RawServer::serve()
{
    for (;;) {
        const int client = ::accept4(listener.descriptor(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 && errno == EINTR)
            continue;
        if (client < 0)
            return; // the listening socket was shut down
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) {
                ::close(client);
                return;
            }
            current = client;
        }
        ++acceptedCount;
        session(client);
        {
            // Forgotten before it is closed: the destructor never shuts down
            // a descriptor number that was reused meanwhile.
            std::lock_guard<std::mutex> lock(mutex);
            current = -1;
        }
        ::close(client);
    }
}

void RawServer::behave(int descriptor)
{
    auto tap = std::make_shared<WireTap>(descriptor);
    try {
        record(ThriftMessages::read(tap).bytes);
    } catch (const apache::thrift::TException &) {
        // No whole request: keep what came and hang up, whatever the behaviour.
        record(tap->take());
        return;
    }
    QByteArray rest;
    switch (behaviour) {
    case HangUp:
        return;
    case Answer:
        LoopbackSocket::writeAll(descriptor, answer);
        LoopbackSocket::waitForPeerClose(descriptor, -1, &rest);
        break;
    case KeepSilent:
        LoopbackSocket::waitForPeerClose(descriptor, patienceMs, &rest);
        break;
    }
    record(rest);
}

void RawServer::record(const QByteArray &more)
{
    std::lock_guard<std::mutex> lock(mutex);
    bytes += more;
}
