#ifndef ACCOUNTINGTESTSERVER_H
#define ACCOUNTINGTESTSERVER_H

#include "AccountingLogicService.h"

#include <QList>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace apache::thrift::server {
class TSimpleServer;
}

// One call as the server decoded it.
struct ReceivedCall
{
    std::string method;
    std::string terminalId;
    std::string sessionId;
    std::string cardNumber;
    int64_t amount = 0;
    int64_t dateFromCash = 0;
};

/*!
    A well-behaved accounting server on 127.0.0.1 (port chosen by the system):
    the generated processor on a TSimpleServer in its own thread. It answers
    each method with the Result set by answer() (a default Result otherwise)
    and records every call it served, in order.
*/
class AccountingTestServer
{
public:
    AccountingTestServer();
    ~AccountingTestServer();

    int port() const;
    void answer(const std::string &method, const accounting::logic::thriftapi::Result &result);
    QList<ReceivedCall> calls() const;

    class Handler;

private:
    std::shared_ptr<Handler> handler;
    std::shared_ptr<apache::thrift::server::TSimpleServer> server;
    std::thread thread;
    int listeningPort = 0;
};

#endif // ACCOUNTINGTESTSERVER_H
