#ifndef DELAYPROXY_H
#define DELAYPROXY_H

#include <atomic>
#include <list>
#include <mutex>
#include <thread>

/*!
    A TCP proxy on 127.0.0.1 that makes loopback feel like a WAN: every byte
    is handed on oneWayMs after it arrived, in each direction, in order. A
    proxy in user space cannot delay the TCP handshake itself, so the first
    bytes a client sends on a connection wait one round trip more, as they
    would behind a real connect.

    Each client connection gets a connection of its own to the upstream
    port and one thread per direction. dropConnections() closes all of them
    at once, as a server's idle limit or a NAT's would: the client sees EOF
    on its next look. The destructor stops and joins everything.
*/
class DelayProxy
{
public:
    DelayProxy(int upstreamPort, int oneWayMs);
    ~DelayProxy();
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    int port() const { return listeningPort; }
    int connections() const { return accepted; }
    void dropConnections();

private:
    struct Link
    {
        int client = -1;
        int server = -1;
        std::thread up;
        std::thread down;
    };

    void acceptLoop();
    // Moves bytes from one descriptor to the other, each delayMs after it
    // arrived (the first chunk firstExtraMs more), until either side ends.
    static void pump(int from, int to, int delayMs, int firstExtraMs);

    const int upstreamPort;
    const int oneWayMs;
    int listener = -1;
    int listeningPort = 0;
    std::atomic<bool> stopping {false};
    std::atomic<int> accepted {0};
    std::mutex mutex;
    std::list<Link> links;
    std::thread acceptor;
};

#endif // DELAYPROXY_H
