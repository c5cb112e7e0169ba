#ifndef ENDPOINTPROBE_H
#define ENDPOINTPROBE_H

#include <QString>

#include <memory>

namespace apache::thrift::transport {
class SSLContext;
}

/*!
    Tries a resting endpoint in the background, so that a dead server's
    connect limit is waited out by a thread of the process instead of a
    cashier. One probe at a time for each endpoint: it connects (within the
    connect limit) and, with a TLS context, makes a handshake (within the
    connect limit again) and checks the server's certificate; then it hangs
    up. The next collect() (each operation's, as it picks a server) logs
    what it found and tells EndpointHealth: connected, or failed (a new
    rest).

    The probes run code of this library, which the till may unload: every
    wait of a probe also watches a stop signal, and the library's teardown
    (dlclose or exit) raises it and joins every probe before the code goes.
    Thread-safe.
*/
class EndpointProbe
{
public:
    // Starts a probe of host:port unless one is running for it; connectMs
    // 0 or less takes Limits::defaultConnectMs. True when one started.
    static bool start(const QString &host, int port, int connectMs,
                      std::shared_ptr<apache::thrift::transport::SSLContext> tls);
    // Joins the probes that finished and hands on what they found.
    static void collect();
    // Probes under way.
    static int running();
};

#endif // ENDPOINTPROBE_H
