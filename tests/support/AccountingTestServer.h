#ifndef ACCOUNTINGTESTSERVER_H
#define ACCOUNTINGTESTSERVER_H

#include "AccountingLogicService.h"

#include <QList>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace apache::thrift {
namespace server {
class TThreadedServer;
}
namespace transport {
class TServerSocket;
class TSSLSocketFactory;
} // namespace transport
} // namespace apache::thrift

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
    A well-behaved accounting server on 127.0.0.1 (port chosen by the
    system), plain TCP or TLS: the generated processor on a threaded Thrift
    server, so that several connections are served at once, running until the
    object is destroyed.

    balance, makePay, makePayBack, commitTransaction and rollbackTransaction
    answer what answer() set for them: a fixed Result, or one made from the
    call. A method without an answer returns a default Result. Every call of
    these methods is recorded, in order.
*/
class AccountingTestServer
{
public:
    using Answer = std::function<accounting::logic::thriftapi::Result(const ReceivedCall &)>;

    AccountingTestServer();
    explicit AccountingTestServer(
        std::shared_ptr<apache::thrift::transport::TSSLSocketFactory> tls);
    ~AccountingTestServer();

    // An answer that succeeds and echoes the call: the card's number as
    // session id, descriptionBytes bytes of Cyrillic text as description,
    // 123456 as balance.
    static Answer echo(int descriptionBytes = 16);

    int port() const { return listeningPort; }
    void answer(const std::string &method, const accounting::logic::thriftapi::Result &result);
    void answer(const std::string &method, Answer make);
    QList<ReceivedCall> calls() const;
    // Connections the server accepted, and those of them that are closed.
    int connections() const;
    int closedConnections() const;

    class Handler;
    class Events;

private:
    void start(std::shared_ptr<apache::thrift::transport::TServerSocket> socket);

    std::shared_ptr<Handler> handler;
    std::shared_ptr<Events> events;
    std::shared_ptr<apache::thrift::server::TThreadedServer> server;
    std::thread thread;
    int listeningPort = 0;
};

#endif // ACCOUNTINGTESTSERVER_H
