#ifndef RAWSERVER_H
#define RAWSERVER_H

#include "LoopbackSocket.h"

#include <QByteArray>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

/*!
    A TCP server on 127.0.0.1 port 0 for servers that must misbehave; it
    speaks bytes, not Thrift.

    Without a session it never accepts: the kernel completes connections,
    nothing is ever answered, and takeWaiting() counts them. With a session
    it accepts connections one after the other on its own thread and hands
    each descriptor to the session; the server closes it when the session
    returns. A ready-made Behaviour waits for a whole Thrift message, then
    hangs up, answers fixed bytes and keeps the connection until the client
    closes it, or keeps silent (for a few seconds at most, so that a client
    without a receive limit fails the test instead of hanging it).

    The destructor shuts the running session's connection down, so a session
    blocked on its socket returns at once.
*/
class RawServer
{
public:
    enum Behaviour { HangUp, Answer, KeepSilent };
    using Session = std::function<void(int descriptor)>;

    explicit RawServer(Session session = {});
    explicit RawServer(Behaviour behaviour, const QByteArray &answer = QByteArray());
    ~RawServer();

    int port() const { return listener.port(); }
    // Connections handed to a session or behaviour so far.
    int accepted() const { return acceptedCount; }
    // Everything the clients sent to a behaviour so far.
    QByteArray received() const;
    // Without a session: accepts and closes the connections waiting in the
    // queue, and returns how many there were.
    int takeWaiting();
    // Stops listening: later connections are refused.
    void stopListening() { listener.shutdown(); }

private:
    void serve();
    void behave(int descriptor);
    void record(const QByteArray &bytes);

    LoopbackSocket listener;
    Session session;
    Behaviour behaviour = HangUp;
    QByteArray answer;
    std::atomic<int> acceptedCount {0};
    mutable std::mutex mutex;
    QByteArray bytes;
    int current = -1; // the session's descriptor, for the destructor
    bool stopping = false;
    std::thread thread;
};

#endif // RAWSERVER_H
