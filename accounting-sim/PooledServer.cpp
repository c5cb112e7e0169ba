#include "PooledServer.h"

#include "Console.h"
#include "SheddingServerSocket.h"
#include "SimOptions.h"
#include "TlsContext.h"

#include <thrift/TProcessor.h>
#include <thrift/concurrency/ThreadFactory.h>
#include <thrift/concurrency/ThreadManager.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TTransportException.h>

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

using apache::thrift::TException;
using apache::thrift::concurrency::Runnable;
using apache::thrift::concurrency::ThreadFactory;
using apache::thrift::concurrency::ThreadManager;
using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::transport::TMemoryBuffer;

namespace {

// epoll ids below the first connection's.
constexpr quint64 listeningId = 0;
constexpr quint64 wakeId = 1;

// Read at once from a socket; one TLS record fits.
constexpr size_t scratchBytes = 64 * 1024;
// New connections taken per wake-up before the others get a turn.
constexpr int acceptBatch = 64;
// Long enough not to spin on a full descriptor table, short enough that a
// freed descriptor is used at once.
constexpr auto acceptBackOff = std::chrono::milliseconds(20);

QString peerText(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, text,
                  sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr;
        // A v4 client of a dual-stack socket is known by its v4 address.
        if (IN6_IS_ADDR_V4MAPPED(&v6))
            inet_ntop(AF_INET, v6.s6_addr + 12, text, sizeof text);
        else
            inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
    return QString::fromLatin1(text);
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0);
}

// One request, served by a worker from memory. The worker writes the reply
// itself, as far as the socket takes it at once: the till has its answer
// without waiting for the event thread, which then takes the connection back.
class Work final : public Runnable
{
public:
    Work(PooledServer &server, Connection &connection, std::string request,
         std::shared_ptr<apache::thrift::protocol::TProtocolFactory> protocols)
        : id(connection.id)
        , m_server(server)
        , m_connection(connection)
        , m_request(std::move(request))
        , m_protocols(std::move(protocols))
    {
    }

    void run() override
    {
        PooledServer::Completion done;
        done.id = id;
        try {
            auto input = std::make_shared<TMemoryBuffer>(
                reinterpret_cast<uint8_t *>(m_request.data()), uint32_t(m_request.size()),
                TMemoryBuffer::OBSERVE);
            auto output = std::make_shared<TMemoryBuffer>();
            m_connection.processor->process(m_protocols->getProtocol(input),
                                            m_protocols->getProtocol(output), nullptr);
            m_connection.output = output->getBufferAsString();
            m_connection.sent = 0;
            done.sent = m_connection.send();
        } catch (const TException &e) {
            // Undecodable: the connection is closed, as a stream server would.
            done.failure = QString::fromUtf8(e.what());
        }
        m_server.post(std::move(done));
    }

    const quint64 id;

private:
    PooledServer &m_server;
    // Its owner never lets it go while a worker has it (see close()).
    Connection &m_connection;
    std::string m_request;
    std::shared_ptr<apache::thrift::protocol::TProtocolFactory> m_protocols;
};

} // namespace

RequestReader PooledServer::requestReader()
{
    return RequestReader(SimOptions::maxMessageBytes, SimOptions::maxStringBytes,
                         SimOptions::maxContainerItems, SimOptions::maxNestingDepth);
}

std::shared_ptr<apache::thrift::protocol::TProtocolFactory> PooledServer::requestProtocols()
{
    return std::make_shared<TBinaryProtocolFactory>(SimOptions::maxStringBytes,
                                                    SimOptions::maxContainerItems, false, true);
}

PooledServer::PooledServer(SheddingServerSocket &socket, Processors processors,
                           const Settings &settings, std::shared_ptr<TlsContext> tls)
    : m_socket(socket)
    , m_processors(std::move(processors))
    , m_settings(settings)
    , m_reader(requestReader())
    , m_tls(std::move(tls))
    , m_protocols(requestProtocols())
    , m_pool(ThreadManager::newSimpleThreadManager(size_t(settings.workers)))
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    , m_scratch(scratchBytes)
{
    if (m_epoll < 0 || m_wake < 0)
        throw apache::thrift::transport::TTransportException(
            std::string("cannot make the event loop: ") + std::strerror(errno));
    // Joined at stop: a worker closes its ledger connection as its thread
    // ends, which must happen before main() tears the database registry down.
    m_pool->threadFactory(std::make_shared<ThreadFactory>(false));
    m_pool->setExpireCallback([this](std::shared_ptr<Runnable> task) {
        if (auto work = std::dynamic_pointer_cast<Work>(task)) {
            Completion dropped;
            dropped.id = work->id;
            dropped.failure = QStringLiteral("its request waited more than %1 s for a worker")
                                  .arg(seconds(m_settings.queueLimitMs));
            post(std::move(dropped));
        }
    });
    m_pool->start();
    epoll_event wake {};
    wake.events = EPOLLIN;
    wake.data.u64 = wakeId;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &wake);
}

PooledServer::~PooledServer()
{
    m_pool->stop();
    m_connections.clear();
    ::close(m_wake);
    ::close(m_epoll);
}

void PooledServer::stop()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopRequested = true;
    }
    const uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
}

void PooledServer::replaceTls(std::shared_ptr<TlsContext> tls)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pendingTls = std::move(tls);
    }
    const uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
}

void PooledServer::post(Completion completion)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        first = m_completions.empty();
        m_completions.push_back(std::move(completion));
    }
    // The event thread takes every completion at once: one wake-up will do.
    if (first) {
        const uint64_t one = 1;
        (void)!::write(m_wake, &one, sizeof one);
    }
}

bool PooledServer::stopRequested()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_stopRequested;
}

void PooledServer::serve(const std::function<void()> &listening)
{
    m_socket.listen();
    epoll_event accepting {};
    accepting.events = EPOLLIN;
    accepting.data.u64 = listeningId;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_socket.descriptor(), &accepting);
    m_acceptPolled = true;
    listening();

    std::vector<epoll_event> events(256);
    while (!stopRequested()) {
        const int ready
            = ::epoll_wait(m_epoll, events.data(), int(events.size()), waitMs(Clock::now()));
        if (ready < 0 && errno != EINTR) {
            Console::err(QStringLiteral("accounting-sim: the event loop failed: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(errno))));
            break;
        }
        for (int i = 0; i < ready; ++i) {
            const quint64 id = events[size_t(i)].data.u64;
            if (id == listeningId) {
                acceptWaiting();
            } else if (id == wakeId) {
                uint64_t count = 0;
                (void)!::read(m_wake, &count, sizeof count);
            } else if (Connection *connection = find(id)) {
                onEvent(*connection);
            }
        }
        takeCompletions();
        takeTls();
        const Clock::time_point now = Clock::now();
        expire(now);
        if (!m_acceptPolled && now >= m_acceptPausedUntil) {
            epoll_event resumed {};
            resumed.events = EPOLLIN;
            resumed.data.u64 = listeningId;
            ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_socket.descriptor(), &resumed);
            m_acceptPolled = true;
        }
    }

    // Requests already with a worker are served, and their replies sent if
    // the sockets take them now; then every connection is closed.
    m_pool->stop();
    takeCompletions();
    m_connections.clear();
}

Connection *PooledServer::find(quint64 id)
{
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? nullptr : found->second.get();
}

void PooledServer::acceptWaiting()
{
    for (int taken = 0; taken < acceptBatch; ++taken) {
        int client = -1;
        sockaddr_storage address {};
        const SheddingServerSocket::Accepted accepted = m_socket.accept(client, address);
        if (accepted == SheddingServerSocket::Accepted::NoneWaiting)
            return;
        if (accepted == SheddingServerSocket::Accepted::Shed) {
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_socket.descriptor(), nullptr);
            m_acceptPolled = false;
            m_acceptPausedUntil = Clock::now() + acceptBackOff;
            return;
        }

        const QString peer = peerText(address);
        const std::string peerKey = peer.toStdString();
        const auto fromPeer = m_perPeer.find(peerKey);
        const int openFromPeer = fromPeer == m_perPeer.end() ? 0 : fromPeer->second;
        if (openFromPeer >= m_settings.maxConnectionsPerPeer) {
            m_refusals.write(QStringLiteral("refused a connection from %1: %2 open from it,"
                                            " --max-connections-per-peer %3")
                                 .arg(peer)
                                 .arg(openFromPeer)
                                 .arg(m_settings.maxConnectionsPerPeer),
                             QStringLiteral("peer"));
            ::close(client);
            ++m_shed;
            continue;
        }
        if (int(m_connections.size()) >= m_settings.maxConnections && !makeRoom()) {
            m_refusals.write(QStringLiteral("refused a connection: %1 open, none idle,"
                                            " --max-connections %2")
                                 .arg(m_connections.size())
                                 .arg(m_settings.maxConnections),
                             QStringLiteral("cap"));
            ::close(client);
            ++m_shed;
            continue;
        }

        SSL *ssl = nullptr;
        if (m_tls) {
            ssl = m_tls->newSession(client);
            if (!ssl) {
                m_refusals.write(QStringLiteral("refused a connection from %1: no memory for"
                                                " its TLS session")
                                     .arg(peer),
                                 QStringLiteral("memory"));
                ::close(client);
                ++m_shed;
                continue;
            }
        }
        ++m_perPeer[peerKey];
        const quint64 id = m_nextId++;
        auto made = std::make_unique<Connection>(id, client, peer, ssl, m_reader);
        Connection &connection = *made;
        m_connections.emplace(id, std::move(made));
        m_open = qint64(m_connections.size());
        connection.tlsGeneration = m_tlsGeneration;
        enterIdleList(connection);
        // Nothing begun yet: as idle as a kept connection.
        setDeadline(connection, Clock::now() + std::chrono::milliseconds(m_settings.idleTimeoutMs));
        // The client speaks first, and has likely spoken already.
        if (ssl)
            handshake(connection);
        else
            read(connection);
    }
}

bool PooledServer::makeRoom()
{
    std::list<quint64> &idle = m_fresh.empty() ? m_kept : m_fresh;
    if (idle.empty())
        return false;
    Connection *oldest = find(idle.front());
    m_refusals.write(QStringLiteral("closed the oldest idle connection (from %1) to make room:"
                                    " %2 open, --max-connections %3")
                         .arg(oldest->caller->peer)
                         .arg(m_connections.size())
                         .arg(m_settings.maxConnections),
                     QStringLiteral("room"));
    close(*oldest);
    ++m_shed;
    return true;
}

void PooledServer::onEvent(Connection &connection)
{
    switch (connection.state) {
    case Connection::State::Handshake:
        handshake(connection);
        break;
    case Connection::State::Idle:
    case Connection::State::Reading:
        read(connection);
        break;
    case Connection::State::Writing:
        write(connection);
        break;
    case Connection::State::Working:
        break; // not polled
    }
}

void PooledServer::handshake(Connection &connection)
{
    // Its first bytes begin the handshake, which then has the read deadline.
    if (!connection.begun) {
        char first = 0;
        if (::recv(connection.descriptor, &first, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
            connection.begun = true;
            setDeadline(connection,
                        Clock::now() + std::chrono::milliseconds(m_settings.readDeadlineMs));
        }
    }
    switch (connection.handshake()) {
    case Connection::Io::Done:
        break;
    case Connection::Io::WantRead:
        watch(connection, EPOLLIN);
        return;
    case Connection::Io::WantWrite:
        watch(connection, EPOLLOUT);
        return;
    case Connection::Io::Ended:
        // Gone before a byte: a port probe, or an idle client giving up.
        if (connection.begun)
            m_handshakes.write(QStringLiteral("tls handshake failed peer=%1: the connection ended")
                                   .arg(connection.caller->peer),
                               QStringLiteral("failed: ended"));
        close(connection);
        return;
    case Connection::Io::Failed:
        m_handshakes.write(QStringLiteral("tls handshake failed peer=%1: %2")
                               .arg(connection.caller->peer, connection.failure()),
                           QStringLiteral("failed: ") + connection.failure());
        close(connection);
        return;
    }

    TlsContext::identify(connection.ssl, *connection.caller);
    QString why;
    // Begun under a context since replaced: the certificate must pass the new one too.
    if (connection.tlsGeneration != m_tlsGeneration) {
        if (!m_tls->stillTrusted(connection.ssl, why)) {
            m_handshakes.write(QStringLiteral("tls handshake failed peer=%1: %2")
                                   .arg(connection.caller->peer, why),
                               QStringLiteral("failed: ") + why);
            close(connection);
            return;
        }
        connection.tlsGeneration = m_tlsGeneration;
    }
    Console::out(QStringLiteral("tls handshake peer=%1 %2")
                     .arg(connection.caller->peer,
                          TlsContext::describeHandshake(connection.ssl, *connection.caller)));
    connection.state = Connection::State::Idle;
    setDeadline(connection, Clock::now() + std::chrono::milliseconds(m_settings.idleTimeoutMs));
    // Application data may have come with the handshake's last flight.
    read(connection);
}

void PooledServer::read(Connection &connection)
{
    for (;;) {
        size_t got = 0;
        switch (connection.receive(m_scratch.data(), m_scratch.size(), got)) {
        case Connection::Io::Done:
            break;
        case Connection::Io::WantRead:
            watch(connection, EPOLLIN);
            return;
        case Connection::Io::WantWrite:
            watch(connection, EPOLLOUT);
            return;
        case Connection::Io::Ended:
            close(connection);
            return;
        case Connection::Io::Failed:
            closeWithReason(connection, connection.failure());
            return;
        }

        const size_t held = connection.input.size() + got;
        if (held > size_t(SimOptions::requestAllowanceBytes)
            && m_buffered + got > size_t(SimOptions::maxBufferedRequestBytes)) {
            closeWithReason(connection,
                            QStringLiteral("requests still arriving hold more than %1 bytes")
                                .arg(SimOptions::maxBufferedRequestBytes));
            return;
        }
        if (connection.state == Connection::State::Idle) {
            // A request has begun: the read deadline runs from its first byte.
            leaveIdleList(connection);
            connection.state = Connection::State::Reading;
            setDeadline(connection,
                        Clock::now() + std::chrono::milliseconds(m_settings.readDeadlineMs));
        }
        connection.input.append(m_scratch.data(), got);
        m_buffered += got;
        if (!scan(connection))
            return;
    }
}

bool PooledServer::scan(Connection &connection)
{
    switch (connection.reader.scan(connection.input.data(), connection.input.size())) {
    case RequestReader::Status::Incomplete:
        return true;
    case RequestReader::Status::Complete:
        dispatch(connection);
        return false;
    case RequestReader::Status::Invalid:
        closeWithReason(connection, QString::fromStdString(connection.reader.error()));
        return false;
    }
    return false;
}

void PooledServer::dispatch(Connection &connection)
{
    const size_t length = connection.reader.messageBytes();
    std::string request;
    if (length == connection.input.size()) {
        request.swap(connection.input);
    } else {
        // A client that sent its next request already: kept for later.
        request = connection.input.substr(0, length);
        connection.input.erase(0, length);
    }
    m_buffered -= length;
    connection.reader.reset();

    connection.caller->received = Clock::now();
    if (!connection.processor)
        connection.processor = m_processors(connection.caller);
    leaveIdleList(connection);
    connection.state = Connection::State::Working;
    setDeadline(connection, Clock::time_point::max());
    // Not polled while a worker has it: nothing is read ahead, and a hang-up
    // is seen when the reply is written.
    watch(connection, 0);
    try {
        m_pool->add(std::make_shared<Work>(*this, connection, std::move(request), m_protocols), 0,
                    m_settings.queueLimitMs);
    } catch (const TException &e) {
        closeWithReason(connection, QString::fromUtf8(e.what()));
    }
}

void PooledServer::write(Connection &connection)
{
    afterSend(connection, connection.send());
}

void PooledServer::afterSend(Connection &connection, Connection::Io sent)
{
    switch (sent) {
    case Connection::Io::Done:
        break;
    case Connection::Io::WantRead:
        watch(connection, EPOLLIN);
        return;
    case Connection::Io::WantWrite:
        watch(connection, EPOLLOUT);
        return;
    case Connection::Io::Ended:
        close(connection);
        return;
    case Connection::Io::Failed:
        closeWithReason(connection, connection.failure());
        return;
    }
    connection.output.clear();
    connection.sent = 0;
    if (connection.closeAfterReply) {
        close(connection);
        return;
    }
    becomeIdle(connection);
}

void PooledServer::becomeIdle(Connection &connection)
{
    connection.state = Connection::State::Idle;
    enterIdleList(connection);
    setDeadline(connection, Clock::now() + std::chrono::milliseconds(m_settings.idleTimeoutMs));
    watch(connection, EPOLLIN);
    // Bytes the client sent ahead, here or still inside the TLS session.
    if (!connection.input.empty()) {
        leaveIdleList(connection);
        connection.state = Connection::State::Reading;
        setDeadline(connection,
                    Clock::now() + std::chrono::milliseconds(m_settings.readDeadlineMs));
        if (!scan(connection))
            return;
    }
    if (connection.ssl && SSL_has_pending(connection.ssl))
        read(connection);
}

void PooledServer::closeWithReason(Connection &connection, const QString &reason)
{
    m_dropped.write(QStringLiteral("accounting-sim: closed a connection from %1: %2")
                        .arg(connection.caller->peer, reason),
                    reason);
    close(connection);
}

void PooledServer::close(Connection &connection)
{
    if (connection.state == Connection::State::Working) {
        // Its request may move money: the reply goes out first.
        connection.closeAfterReply = true;
        return;
    }
    setDeadline(connection, Clock::time_point::max());
    leaveIdleList(connection);
    m_buffered -= connection.input.size();
    const auto fromPeer = m_perPeer.find(connection.caller->peer.toStdString());
    if (fromPeer != m_perPeer.end() && --fromPeer->second <= 0)
        m_perPeer.erase(fromPeer);
    // Closing the descriptor takes it out of the poll set.
    m_connections.erase(connection.id);
    m_open = qint64(m_connections.size());
}

void PooledServer::watch(Connection &connection, uint32_t events)
{
    if (connection.events == events)
        return;
    epoll_event change {};
    change.events = events;
    change.data.u64 = connection.id;
    const int operation = connection.events == 0 ? EPOLL_CTL_ADD
        : events == 0                            ? EPOLL_CTL_DEL
                                                 : EPOLL_CTL_MOD;
    ::epoll_ctl(m_epoll, operation, connection.descriptor, &change);
    connection.events = events;
}

void PooledServer::setDeadline(Connection &connection, Clock::time_point deadline)
{
    if (connection.deadline != Clock::time_point::max())
        m_deadlines.erase({connection.deadline, connection.id});
    connection.deadline = deadline;
    if (deadline != Clock::time_point::max())
        m_deadlines.insert({deadline, connection.id});
}

void PooledServer::enterIdleList(Connection &connection)
{
    if (connection.inIdleList)
        return;
    std::list<quint64> &idle = connection.served ? m_kept : m_fresh;
    connection.idlePosition = idle.insert(idle.end(), connection.id);
    connection.inIdleList = true;
}

void PooledServer::leaveIdleList(Connection &connection)
{
    if (!connection.inIdleList)
        return;
    (connection.served ? m_kept : m_fresh).erase(connection.idlePosition);
    connection.inIdleList = false;
}

void PooledServer::takeCompletions()
{
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        done.swap(m_completions);
    }
    for (const Completion &completion : done) {
        Connection *connection = find(completion.id);
        if (!connection)
            continue;
        connection->state = Connection::State::Writing;
        if (!completion.failure.isEmpty()) {
            closeWithReason(*connection, completion.failure);
            continue;
        }
        connection->served = true;
        // TLS files read again while a worker had it: checked now.
        QString why;
        if (connection->ssl && connection->tlsGeneration != m_tlsGeneration) {
            if (m_tls->stillTrusted(connection->ssl, why))
                connection->tlsGeneration = m_tlsGeneration;
            else
                refuseCertificate(*connection, why);
        }
        // A client that does not take its reply is closed after the idle time-out.
        setDeadline(*connection,
                    Clock::now() + std::chrono::milliseconds(m_settings.idleTimeoutMs));
        afterSend(*connection, completion.sent);
    }
}

void PooledServer::refuseCertificate(Connection &connection, const QString &why)
{
    m_handshakes.write(QStringLiteral("closing a connection from %1: its certificate is"
                                      " no longer accepted (%2)")
                           .arg(connection.caller->peer, why),
                       QStringLiteral("reload: ") + why);
    connection.closeAfterReply = true;
}

void PooledServer::takeTls()
{
    std::shared_ptr<TlsContext> replacement;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        replacement.swap(m_pendingTls);
    }
    if (!replacement)
        return;
    m_tls = std::move(replacement);
    ++m_tlsGeneration;
    std::vector<Connection *> refused;
    for (auto &[id, connection] : m_connections) {
        (void)id;
        // A handshake under way is checked when it ends; a worker's
        // connection when it comes back.
        const Connection::State state = connection->state;
        if (!connection->ssl || state == Connection::State::Handshake
            || state == Connection::State::Working)
            continue;
        QString why;
        if (m_tls->stillTrusted(connection->ssl, why)) {
            connection->tlsGeneration = m_tlsGeneration;
        } else {
            refuseCertificate(*connection, why);
            refused.push_back(connection.get());
        }
    }
    for (Connection *connection : refused)
        close(*connection);
}

void PooledServer::expire(Clock::time_point now)
{
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
        Connection *connection = find(m_deadlines.begin()->second);
        if (!connection) {
            m_deadlines.erase(m_deadlines.begin());
            continue;
        }
        switch (connection->state) {
        case Connection::State::Handshake:
            if (connection->begun)
                m_handshakes.write(
                    QStringLiteral("tls handshake failed peer=%1: not done within %2 s")
                        .arg(connection->caller->peer, seconds(m_settings.readDeadlineMs)),
                    QStringLiteral("late"));
            close(*connection);
            break;
        case Connection::State::Idle:
            // Idle for the idle time-out, before a request or between two.
            close(*connection);
            break;
        case Connection::State::Reading:
            closeWithReason(*connection,
                            QStringLiteral("the request was not whole within %1 s")
                                .arg(seconds(m_settings.readDeadlineMs)));
            break;
        case Connection::State::Writing:
            closeWithReason(*connection,
                            QStringLiteral("the reply was not taken within %1 s")
                                .arg(seconds(m_settings.idleTimeoutMs)));
            break;
        case Connection::State::Working:
            setDeadline(*connection, Clock::time_point::max());
            break;
        }
    }
}

int PooledServer::waitMs(Clock::time_point now) const
{
    Clock::time_point next = Clock::time_point::max();
    if (!m_deadlines.empty())
        next = m_deadlines.begin()->first;
    if (!m_acceptPolled)
        next = std::min(next, m_acceptPausedUntil);
    if (next == Clock::time_point::max())
        return -1;
    if (next <= now)
        return 0;
    // Rounded up: waking a moment early would only wait again.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return int(std::min<qint64>(ms, 60000));
}
