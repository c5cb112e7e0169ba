#include "AccountingTestServer.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TSimpleServer.h>
#include <thrift/transport/TServerSocket.h>
#include <thrift/transport/TSocket.h>

#include <future>

namespace api = accounting::logic::thriftapi;
using namespace apache::thrift;

class AccountingTestServer::Handler : public api::AccountingLogicServiceNull
{
public:
    void balance(api::Result &result, const std::string &terminalId,
                 const std::string &cardNumber) override
    {
        ReceivedCall call;
        call.method = "balance";
        call.terminalId = terminalId;
        call.cardNumber = cardNumber;
        result = record(call);
    }

    void makePay(api::Result &result, const std::string &terminalId, const std::string &sessionId,
                 const std::string &cardNumber, const int64_t amount,
                 const api::AdditionalAssetInfo &info) override
    {
        result = record(money("makePay", terminalId, sessionId, cardNumber, amount, info));
    }

    void makePayBack(api::Result &result, const std::string &terminalId,
                     const std::string &sessionId, const std::string &cardNumber,
                     const int64_t amount, const api::AdditionalAssetInfo &info) override
    {
        result = record(money("makePayBack", terminalId, sessionId, cardNumber, amount, info));
    }

    void commitTransaction(api::Result &result, const std::string &terminalId,
                           const std::string &sessionId, const std::string &cardNumber) override
    {
        ReceivedCall call;
        call.method = "commitTransaction";
        call.terminalId = terminalId;
        call.sessionId = sessionId;
        call.cardNumber = cardNumber;
        result = record(call);
    }

    mutable std::mutex mutex;
    QList<ReceivedCall> calls;
    std::map<std::string, api::Result> answers;

private:
    static ReceivedCall money(const char *method, const std::string &terminalId,
                              const std::string &sessionId, const std::string &cardNumber,
                              int64_t amount, const api::AdditionalAssetInfo &info)
    {
        ReceivedCall call;
        call.method = method;
        call.terminalId = terminalId;
        call.sessionId = sessionId;
        call.cardNumber = cardNumber;
        call.amount = amount;
        call.dateFromCash = info.dateFromCash;
        return call;
    }

    api::Result record(const ReceivedCall &call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.append(call);
        auto it = answers.find(call.method);
        return it == answers.end() ? api::Result() : it->second;
    }
};

namespace {
// Tells the test thread that the server socket is listening.
class ReadySignal : public server::TServerEventHandler
{
public:
    void preServe() override { ready.set_value(); }
    std::promise<void> ready;
};
} // namespace

AccountingTestServer::AccountingTestServer()
    : handler(std::make_shared<Handler>())
{
    auto serverSocket = std::make_shared<transport::TServerSocket>("127.0.0.1", 0);
    server = std::make_shared<server::TSimpleServer>(
        std::make_shared<api::AccountingLogicServiceProcessor>(handler), serverSocket,
        std::make_shared<transport::TTransportFactory>(),
        std::make_shared<protocol::TBinaryProtocolFactory>());
    auto signal = std::make_shared<ReadySignal>();
    std::future<void> ready = signal->ready.get_future();
    server->setServerEventHandler(signal);
    thread = std::thread([this] { server->serve(); });
    ready.wait();
    listeningPort = serverSocket->getPort();
}

AccountingTestServer::~AccountingTestServer()
{
    server->stop();
    thread.join();
}

int AccountingTestServer::port() const
{
    return listeningPort;
}

void AccountingTestServer::answer(const std::string &method, const api::Result &result)
{
    std::lock_guard<std::mutex> lock(handler->mutex);
    handler->answers[method] = result;
}

QList<ReceivedCall> AccountingTestServer::calls() const
{
    std::lock_guard<std::mutex> lock(handler->mutex);
    return handler->calls;
}
