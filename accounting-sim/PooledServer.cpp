#include "PooledServer.h"

#include <thrift/concurrency/ThreadFactory.h>
#include <thrift/concurrency/ThreadManager.h>

using apache::thrift::concurrency::ThreadFactory;
using apache::thrift::concurrency::ThreadManager;

namespace {

std::shared_ptr<ThreadManager> startedPool(int workers)
{
    std::shared_ptr<ThreadManager> pool = ThreadManager::newSimpleThreadManager(size_t(workers));
    // Joined at stop: a worker closes its ledger connection as its thread
    // ends, which must happen before main() tears the database registry down.
    pool->threadFactory(std::make_shared<ThreadFactory>(false));
    pool->start();
    return pool;
}

} // namespace

PooledServer::PooledServer(
    const std::shared_ptr<apache::thrift::TProcessorFactory> &processorFactory,
    const std::shared_ptr<apache::thrift::transport::TServerTransport> &socket,
    const std::shared_ptr<apache::thrift::transport::TTransportFactory> &transports,
    const std::shared_ptr<apache::thrift::protocol::TProtocolFactory> &protocols, int workers,
    int maxConnections, int idleTimeoutMs)
    : TThreadPoolServer(processorFactory, socket, transports, protocols, startedPool(workers))
    , m_maxConnections(maxConnections)
{
    // A connection still waiting for a worker after this long is dropped: its
    // till has given up on it, and it must not hold a descriptor for ever.
    setTaskExpiration(idleTimeoutMs);
}

void PooledServer::onClientConnected(
    const std::shared_ptr<apache::thrift::server::TConnectedClient> &client)
{
    // The count includes this connection. Not handing it to the pool drops
    // the last reference to it once the accept loop moves on: it is closed.
    const int64_t open = getConcurrentClientCount();
    if (open > m_maxConnections) {
        m_refusals.write(QStringLiteral("refused a connection: %1 open, --max-connections %2")
                             .arg(open - 1)
                             .arg(m_maxConnections));
        return;
    }
    TThreadPoolServer::onClientConnected(client);
}
