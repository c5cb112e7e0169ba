#ifndef LOOPBACKSOCKET_H
#define LOOPBACKSOCKET_H

#include <QByteArray>

/*!
    A TCP socket bound to 127.0.0.1 on a port the system chose, owned for the
    life of the object. Bound but not listening it refuses every connection;
    listen() makes it a server socket. Throws std::runtime_error, with the
    system's reason, when the socket cannot be made.

    The static helpers work on any connected descriptor and never raise
    SIGPIPE.
*/
class LoopbackSocket
{
public:
    LoopbackSocket();
    ~LoopbackSocket();
    LoopbackSocket(const LoopbackSocket &) = delete;
    LoopbackSocket &operator=(const LoopbackSocket &) = delete;

    int descriptor() const { return fd; }
    int port() const { return boundPort; }
    void listen(int backlog = 64);
    // Wakes a thread blocked in accept() and refuses later connections.
    void shutdown();

    // Sends every byte; false when the peer is gone.
    static bool writeAll(int descriptor, const QByteArray &bytes);
    // Reads until the peer closes (true) or timeoutMs passed (false; -1
    // waits for ever), appending what arrived to received if given.
    static bool waitForPeerClose(int descriptor, int timeoutMs = -1,
                                 QByteArray *received = nullptr);

private:
    int fd;
    int boundPort = 0;
};

#endif // LOOPBACKSOCKET_H
