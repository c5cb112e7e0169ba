#ifndef POOLEDSERVER_H
#define POOLEDSERVER_H

#include "LogThrottle.h"

#include <thrift/server/TThreadPoolServer.h>

/*!
    Thrift's thread-pool server with a cap on connections. A fixed pool of
    workers serves the connections; one beyond the workers waits for a free
    worker, at most the idle time-out (the pool's task expiry), and is then
    closed unserved. One beyond the cap is closed at once, before it costs a
    worker: the till sees the connection end and fails over to its next
    server instead of waiting out its receive limit. Refusals are logged.
*/
class PooledServer final : public apache::thrift::server::TThreadPoolServer
{
public:
    PooledServer(const std::shared_ptr<apache::thrift::TProcessorFactory> &processorFactory,
                 const std::shared_ptr<apache::thrift::transport::TServerTransport> &socket,
                 const std::shared_ptr<apache::thrift::transport::TTransportFactory> &transports,
                 const std::shared_ptr<apache::thrift::protocol::TProtocolFactory> &protocols,
                 int workers, int maxConnections, int idleTimeoutMs);

protected:
    void onClientConnected(
        const std::shared_ptr<apache::thrift::server::TConnectedClient> &client) override;

private:
    const int m_maxConnections;
    LogThrottle m_refusals {LogThrottle::Stream::Out};
};

#endif // POOLEDSERVER_H
