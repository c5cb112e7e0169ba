#ifndef POOLEDSERVER_H
#define POOLEDSERVER_H

#include "Caller.h"
#include "Connection.h"
#include "LogThrottle.h"
#include "RequestReader.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

class SheddingServerSocket;
class TlsContext;

namespace apache::thrift {
class TProcessor;
namespace concurrency {
class ThreadManager;
}
namespace protocol {
class TProtocolFactory;
}
} // namespace apache::thrift

/*!
    The server: one event thread reads requests, a fixed pool of workers
    serves them.

    The event thread accepts connections, makes the TLS handshakes and reads
    every socket without blocking, walking each request's structure as it
    arrives (RequestReader). Only a whole request goes to a worker, with the
    connection's processor; the worker decodes it from memory, serves it,
    writes as much of the reply as the socket takes at once, and hands the
    connection back to the event thread. So an idle or slow client costs a
    descriptor and a little memory, never a worker, and the threads that
    touch the ledger are the workers alone.

    Bounds, each closing the connection:
    - what a client's bytes begin must be done within the read deadline of
      the first: a TLS handshake, a request; a connection with nothing begun,
      new or between two requests, may idle for the idle time-out; a reply
      must be taken within the idle time-out;
    - a request that waits longer than `queueLimitMs` for a worker is
      dropped unserved;
    - RequestReader's limits, and SimOptions::maxBufferedRequestBytes over
      all requests still arriving.

    At `maxConnections`, a new connection makes room by closing the oldest
    idle one: first those that never sent a request, then kept ones. With
    none idle it is closed. Beyond `maxConnectionsPerPeer` from one address
    it is closed. Refusals are logged at most once a second.
*/
class PooledServer final
{
public:
    struct Settings
    {
        int workers = 32;
        int maxConnections = 256;
        int maxConnectionsPerPeer = 256;
        int idleTimeoutMs = 30000;
        int readDeadlineMs = 5000;
        int queueLimitMs = 30000;
    };
    // The processor that serves one connection's requests.
    using Processors
        = std::function<std::shared_ptr<apache::thrift::TProcessor>(std::shared_ptr<const Caller>)>;

    // `tls` null: plain TCP.
    PooledServer(SheddingServerSocket &socket, Processors processors, const Settings &settings,
                 std::shared_ptr<TlsContext> tls);
    ~PooledServer();
    PooledServer(const PooledServer &) = delete;
    PooledServer &operator=(const PooledServer &) = delete;

    // Listens, calls `listening` once it does, and serves until stop().
    // Throws TTransportException when the socket cannot listen.
    void serve(const std::function<void()> &listening);
    // From any thread, at any time: serve() returns soon, or at once if it
    // has not begun.
    void stop();
    // From any thread: new connections use `tls`. Connections whose
    // certificate it would refuse are closed (after the reply they wait
    // for, if any).
    void replaceTls(std::shared_ptr<TlsContext> tls);

    // A worker's account of one request: how writing its reply went, or why
    // it could not be served (the connection is then closed). Public for the
    // workers' task.
    struct Completion
    {
        quint64 id = 0;
        Connection::Io sent = Connection::Io::Done;
        QString failure;
    };
    void post(Completion completion);

    // For /metrics, from any thread: connections open now, and those closed
    // to make room or refused at a cap since the start.
    qint64 openConnections() const { return m_open; }
    quint64 shedConnections() const { return m_shed; }

    // How requests are read: where each ends, under the server's limits, and
    // the protocol, with the same limits, that decodes it for the processor.
    static RequestReader requestReader();
    static std::shared_ptr<apache::thrift::protocol::TProtocolFactory> requestProtocols();

private:
    using Clock = Connection::Clock;

    Connection *find(quint64 id);
    void acceptWaiting();
    bool makeRoom();
    void onEvent(Connection &connection);
    void handshake(Connection &connection);
    void read(Connection &connection);
    bool scan(Connection &connection);
    void dispatch(Connection &connection);
    void write(Connection &connection);
    void afterSend(Connection &connection, Connection::Io sent);
    // Closes it once its reply is out, and says why.
    void refuseCertificate(Connection &connection, const QString &why);
    void becomeIdle(Connection &connection);
    void close(Connection &connection);
    void closeWithReason(Connection &connection, const QString &reason);

    void watch(Connection &connection, uint32_t events);
    void setDeadline(Connection &connection, Clock::time_point deadline);
    void enterIdleList(Connection &connection);
    void leaveIdleList(Connection &connection);

    void takeCompletions();
    void takeTls();
    void expire(Clock::time_point now);
    int waitMs(Clock::time_point now) const;
    bool stopRequested();

    SheddingServerSocket &m_socket;
    const Processors m_processors;
    const Settings m_settings;
    const RequestReader m_reader;
    std::shared_ptr<TlsContext> m_tls;
    // Bumped by each replaceTls(); a connection whose certificate was last
    // checked under an older context is checked again.
    int m_tlsGeneration = 0;
    std::shared_ptr<apache::thrift::protocol::TProtocolFactory> m_protocols;
    std::shared_ptr<apache::thrift::concurrency::ThreadManager> m_pool;

    int m_epoll = -1;
    int m_wake = -1;
    quint64 m_nextId = 2;
    std::unordered_map<quint64, std::unique_ptr<Connection>> m_connections;
    std::set<std::pair<Clock::time_point, quint64>> m_deadlines;
    // Idle connections, oldest first: those that never sent a request, and kept ones.
    std::list<quint64> m_fresh;
    std::list<quint64> m_kept;
    // Open connections by peer address.
    std::unordered_map<std::string, int> m_perPeer;
    // Bytes of requests still arriving, over every connection.
    size_t m_buffered = 0;
    Clock::time_point m_acceptPausedUntil;
    bool m_acceptPolled = false;
    std::vector<char> m_scratch;

    std::mutex m_lock; // guards what other threads hand over:
    bool m_stopRequested = false;
    std::shared_ptr<TlsContext> m_pendingTls;
    std::vector<Completion> m_completions;

    std::atomic<qint64> m_open {0};
    std::atomic<quint64> m_shed {0};

    LogThrottle m_refusals {LogThrottle::Stream::Out};
    LogThrottle m_handshakes {LogThrottle::Stream::Out};
    LogThrottle m_dropped {LogThrottle::Stream::Err};
};

#endif // POOLEDSERVER_H
