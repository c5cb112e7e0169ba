#ifndef SHEDDINGSERVERSOCKET_H
#define SHEDDINGSERVERSOCKET_H

#include "LogThrottle.h"

#include <thrift/transport/TServerSocket.h>

/*!
    Thrift's server socket, made to survive running out of descriptors.

    Thrift's accept loop ends the whole server on any accept() failure
    ("TServerTransport died"), which at the open-file limit means exit
    status 0 with clients still queued. Here a failed accept backs off
    instead: a descriptor kept in reserve is let go for a moment to take the
    waiting connections off the queue and close them (a clean refusal rather
    than a hang), the failure is logged, and the loop goes on after a short
    pause, serving again as soon as descriptors come free.
*/
class SheddingServerSocket final : public apache::thrift::transport::TServerSocket
{
public:
    SheddingServerSocket(const std::string &address, int port);
    ~SheddingServerSocket() override;

protected:
    std::shared_ptr<apache::thrift::transport::TTransport> acceptImpl() override;

private:
    // Closes the connections waiting to be accepted; returns how many.
    int shedWaiting();

    int m_reserve = -1;
    LogThrottle m_failures {LogThrottle::Stream::Err};
};

#endif // SHEDDINGSERVERSOCKET_H
