#ifndef SHEDDINGSERVERSOCKET_H
#define SHEDDINGSERVERSOCKET_H

#include "LogThrottle.h"

#include <thrift/transport/TServerSocket.h>

#include <sys/socket.h>

/*!
    The listening socket, accepted from without blocking, made to survive
    running out of descriptors.

    At the open-file limit accept() fails while clients queue. Then a
    descriptor kept in reserve is let go for a moment to take the waiting
    connections off the queue and close them (a clean refusal rather than a
    hang), the failure is logged at most once a second, and accept() says
    Shed so that the server pauses accepting for a moment instead of
    spinning; it serves again as soon as descriptors come free.

    Thrift's server socket binds and listens (names, IPv6, address reuse).
*/
class SheddingServerSocket final
{
public:
    enum class Accepted { Connection, NoneWaiting, Shed };

    SheddingServerSocket(const std::string &address, int port);
    ~SheddingServerSocket();

    // Throws TTransportException when the address cannot be bound.
    void listen();
    int descriptor();
    // The port listened on: the one the system chose when 0 was asked for.
    int port() const { return m_socket.getPort(); }

    // One waiting connection, non-blocking and close-on-exec, in `client`.
    Accepted accept(int &client, sockaddr_storage &peer);

private:
    // Closes the connections waiting to be accepted; returns how many.
    int shedWaiting();

    apache::thrift::transport::TServerSocket m_socket;
    int m_reserve = -1;
    LogThrottle m_failures {LogThrottle::Stream::Err};
};

#endif // SHEDDINGSERVERSOCKET_H
