#ifndef CONNECTION_H
#define CONNECTION_H

#include "Caller.h"
#include "RequestReader.h"

#include <QString>

#include <chrono>
#include <list>
#include <memory>
#include <string>

typedef struct ssl_st SSL;

namespace apache::thrift {
class TProcessor;
}

/*!
    One client's socket, plain or TLS, in non-blocking mode, and what the
    server knows of it. Reads and writes never wait: each says whether it
    got on, must wait for the socket to become readable or writable, or
    found the connection ended or failed (with the reason in failure()).
    Owns the descriptor and the TLS session.

    The state is the server's to keep: it says what the connection waits
    for, and so which deadline and which events apply. While it is Working,
    the worker alone touches the socket, the TLS session and the output.
*/
class Connection
{
public:
    using Clock = std::chrono::steady_clock;

    enum class State {
        Handshake, // TLS: the handshake is under way
        Idle, // waiting for a request's first byte
        Reading, // a request has begun and is not whole yet
        Working, // a worker has the request
        Writing, // the reply is going out
    };
    enum class Io { Done, WantRead, WantWrite, Ended, Failed };

    Connection(quint64 id, int descriptor, const QString &peer, SSL *ssl,
               const RequestReader &reader);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    Io handshake();
    // Reads what has arrived, at most `size` bytes; `got` says how many.
    Io receive(char *into, size_t size, size_t &got);
    // Sends what is left of `output`, from `sent` on.
    Io send();
    QString failure() const { return m_failure; }

    const quint64 id;
    const int descriptor;
    SSL *const ssl;
    std::shared_ptr<Caller> caller;
    // Made for the caller once it is known; serves each request of this connection.
    std::shared_ptr<apache::thrift::TProcessor> processor;

    State state = State::Handshake;
    // Whether a request was answered: an idle connection that never sent
    // one is closed first to make room.
    bool served = false;
    // TLS: whether the client's first bytes came; until then it is idle.
    bool begun = false;
    Clock::time_point deadline = Clock::time_point::max();
    // The events the server polls for; 0 when the descriptor is not polled.
    uint32_t events = 0;
    // The server's TLS context generation its certificate was last checked under.
    int tlsGeneration = 0;
    // Closed once the reply it waits for is out.
    bool closeAfterReply = false;
    // Set when it is in one of the server's lists of idle connections.
    bool inIdleList = false;
    std::list<quint64>::iterator idlePosition;

    std::string input;
    RequestReader reader;
    std::string output;
    size_t sent = 0;

private:
    Io failed(const QString &reason);
    Io sslResult(int result);

    QString m_failure;
    // OpenSSL forbids a goodbye on a session that failed.
    bool m_broken = false;
};

#endif // CONNECTION_H
