#include "FloorServer.h"

#include "AccountingLogicService.h"

#include <thrift/concurrency/ThreadFactory.h>
#include <thrift/concurrency/ThreadManager.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TThreadPoolServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

using namespace accounting::logic::thriftapi;
using apache::thrift::concurrency::ThreadFactory;
using apache::thrift::concurrency::ThreadManager;
using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::server::TServerEventHandler;
using apache::thrift::server::TThreadPoolServer;
using apache::thrift::transport::TBufferedTransportFactory;
using apache::thrift::transport::TServerSocket;

namespace {

// Every card starts rich; a pending payment is only remembered.
class MapHandler final : public AccountingLogicServiceNull
{
public:
    void balance(Result &_return, const std::string &, const std::string &card) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        answer(_return, card, std::string());
    }

    void makePay(Result &_return, const std::string &, const std::string &, const std::string &card,
                 const int64_t amount, const AdditionalAssetInfo &) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const std::string session = std::to_string(++m_lastSession);
        m_pending[session] = {card, amount};
        answer(_return, card, session);
    }

    void commitTransaction(Result &_return, const std::string &, const std::string &session,
                           const std::string &) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto found = m_pending.find(session);
        if (found == m_pending.end())
            return;
        balanceOf(found->second.first) -= found->second.second;
        answer(_return, found->second.first, session);
        m_pending.erase(found);
    }

private:
    int64_t &balanceOf(const std::string &card)
    {
        return m_balances.emplace(card, int64_t(1) << 50).first->second;
    }

    void answer(Result &_return, const std::string &card, const std::string &session)
    {
        _return.__set_success(true);
        _return.__set_sessionId(session);
        _return.__set_balance(balanceOf(card));
    }

    std::mutex m_lock;
    std::map<std::string, int64_t> m_balances;
    std::map<std::string, std::pair<std::string, int64_t>> m_pending;
    uint64_t m_lastSession = 0;
};

class Announce final : public TServerEventHandler
{
public:
    explicit Announce(TServerSocket &socket)
        : m_socket(socket)
    {
    }

    void preServe() override
    {
        std::printf("listening on 127.0.0.1:%d\n", m_socket.getPort());
        std::fflush(stdout);
    }

private:
    TServerSocket &m_socket;
};

} // namespace

int FloorServer::run(int workers)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    auto pool = ThreadManager::newSimpleThreadManager(size_t(workers));
    pool->threadFactory(std::make_shared<ThreadFactory>(false));
    pool->start();
    auto socket = std::make_shared<TServerSocket>("127.0.0.1", 0);
    TThreadPoolServer server(
        std::make_shared<AccountingLogicServiceProcessor>(std::make_shared<MapHandler>()), socket,
        std::make_shared<TBufferedTransportFactory>(), std::make_shared<TBinaryProtocolFactory>(),
        pool);
    server.setServerEventHandler(std::make_shared<Announce>(*socket));
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stop, &signal);
        server.stop();
    });
    server.serve();
    stopper.join();
    return 0;
}
