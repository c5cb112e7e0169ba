#ifndef KEPTCONNECTIONS_H
#define KEPTCONNECTIONS_H

#include <QString>

#include <memory>

namespace apache::thrift::transport {
class TSocket;
}

/*!
    Open connections to the accounting servers that the process keeps
    between operations, so that an operation on a WAN waits one round trip
    per call instead of two or three. Each operation makes a provider of its
    own; what outlives it lives here.

    A connection is kept under its endpoint ("host:port") and the settings
    it was made with (the socket factory's key): it is only handed to a
    provider that asks with the same two, and a provider that asks for an
    endpoint with other settings makes the ones kept for the old settings
    go. Only a connection whose last call was answered in full is kept.

    Before a kept connection is handed out it is polled: a peer that closed
    it (EOF or RST), or anything unread on it, makes it stale; it is closed
    and the next one tried. This costs no round trip. A connection idle
    longer than the taker's keep-alive is closed when it is next looked at.
    Thread-safe.
*/
class KeptConnections
{
public:
    using Socket = std::shared_ptr<apache::thrift::transport::TSocket>;

    // A live connection kept for the endpoint and settings, idle no longer
    // than maxIdleMs, or null. With maxIdleMs 0 nothing is handed out and
    // whatever the endpoint kept is closed.
    static Socket take(const QString &endpoint, const QString &settings, qint64 maxIdleMs);
    static void keep(const QString &endpoint, const QString &settings, Socket socket);
    // Closes every connection kept for the endpoint.
    static void drop(const QString &endpoint);
    // How many connections are kept, in all.
    static int size();

    // True when the peer has closed the connection or sent something
    // nobody asked for.
    static bool isStale(apache::thrift::transport::TSocket &socket);
};

#endif // KEPTCONNECTIONS_H
