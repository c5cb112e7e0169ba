#include "AccountingTestServer.h"

#include "ReadySignal.h"

#include <atomic>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TSSLServerSocket.h>
#include <thrift/transport/TServerSocket.h>

namespace api = accounting::logic::thriftapi;
using namespace apache::thrift;

class AccountingTestServer::Handler : public api::AccountingLogicServiceNull
{
public:
    void balance(api::Result &result, const std::string &terminalId,
                 const std::string &cardNumber) override
    {
        result = record(call("balance", terminalId, std::string(), cardNumber));
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
        result = record(call("commitTransaction", terminalId, sessionId, cardNumber));
    }

    void rollbackTransaction(api::Result &result, const std::string &terminalId,
                             const std::string &sessionId, const std::string &cardNumber) override
    {
        result = record(call("rollbackTransaction", terminalId, sessionId, cardNumber));
    }

    mutable std::mutex mutex;
    QList<ReceivedCall> calls;
    std::map<std::string, Answer> answers;

private:
    static ReceivedCall call(const char *method, const std::string &terminalId,
                             const std::string &sessionId, const std::string &cardNumber)
    {
        ReceivedCall call;
        call.method = method;
        call.terminalId = terminalId;
        call.sessionId = sessionId;
        call.cardNumber = cardNumber;
        return call;
    }

    static ReceivedCall money(const char *method, const std::string &terminalId,
                              const std::string &sessionId, const std::string &cardNumber,
                              int64_t amount, const api::AdditionalAssetInfo &info)
    {
        ReceivedCall received = call(method, terminalId, sessionId, cardNumber);
        received.amount = amount;
        received.dateFromCash = info.dateFromCash;
        return received;
    }

    api::Result record(const ReceivedCall &received)
    {
        Answer make;
        {
            std::lock_guard<std::mutex> lock(mutex);
            calls.append(received);
            auto it = answers.find(received.method);
            if (it == answers.end())
                return api::Result();
            make = it->second;
        }
        return make(received);
    }
};

// Tells when the server listens, and counts its connections.
class AccountingTestServer::Events : public ReadySignal
{
public:
    void *createContext(std::shared_ptr<protocol::TProtocol>,
                        std::shared_ptr<protocol::TProtocol>) override
    {
        ++opened;
        return nullptr;
    }
    void deleteContext(void *, std::shared_ptr<protocol::TProtocol>,
                       std::shared_ptr<protocol::TProtocol>) override
    {
        ++closed;
    }

    std::atomic<int> opened {0};
    std::atomic<int> closed {0};
};

AccountingTestServer::AccountingTestServer()
    : handler(std::make_shared<Handler>())
{
    start(std::make_shared<transport::TServerSocket>("127.0.0.1", 0));
}

AccountingTestServer::AccountingTestServer(std::shared_ptr<transport::TSSLSocketFactory> tls)
    : handler(std::make_shared<Handler>())
{
    start(std::make_shared<transport::TSSLServerSocket>("127.0.0.1", 0, tls));
}

void AccountingTestServer::start(std::shared_ptr<transport::TServerSocket> socket)
{
    // Unbuffered like the till's client: the binary protocol straight on the
    // socket.
    server = std::make_shared<server::TThreadedServer>(
        std::make_shared<api::AccountingLogicServiceProcessor>(handler), socket,
        std::make_shared<transport::TTransportFactory>(),
        std::make_shared<protocol::TBinaryProtocolFactory>());
    events = std::make_shared<Events>();
    server->setServerEventHandler(events);
    thread = std::thread([server = server] { server->serve(); });
    events->wait();
    listeningPort = socket->getPort();
}

AccountingTestServer::~AccountingTestServer()
{
    server->stop();
    thread.join();
}

int AccountingTestServer::connections() const
{
    return events->opened;
}

int AccountingTestServer::closedConnections() const
{
    return events->closed;
}

AccountingTestServer::Answer AccountingTestServer::echo(int descriptionBytes)
{
    return [descriptionBytes](const ReceivedCall &call) {
        api::Result result;
        result.__set_success(true);
        result.__set_sessionId(call.cardNumber);
        std::string text;
        const std::string letter = "Ж"; // two bytes in UTF-8
        while (int(text.size()) + 2 <= descriptionBytes)
            text += letter;
        result.__set_description(text);
        result.__set_balance(123456);
        return result;
    };
}

void AccountingTestServer::answer(const std::string &method, const api::Result &result)
{
    answer(method, [result](const ReceivedCall &) { return result; });
}

void AccountingTestServer::answer(const std::string &method, Answer make)
{
    std::lock_guard<std::mutex> lock(handler->mutex);
    handler->answers[method] = std::move(make);
}

QList<ReceivedCall> AccountingTestServer::calls() const
{
    std::lock_guard<std::mutex> lock(handler->mutex);
    return handler->calls;
}
