#ifndef SIMCLIENT_H
#define SIMCLIENT_H

#include "AccountingLogicService.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TSocket.h>

#include <QtGlobal>

#include <functional>
#include <memory>
#include <string>

/*!
    Talks to the server the way the till does: binary protocol straight on a
    TCP socket. Each call() makes a connection of its own and closes it after
    the answer; connect() keeps one open for tests that need several at once.
    Thrift exceptions pass through to the test.
*/
class SimClient
{
public:
    using Result = accounting::logic::thriftapi::Result;
    using Client = accounting::logic::thriftapi::AccountingLogicServiceClient;
    using Call = std::function<void(Client &, Result &)>;

    explicit SimClient(quint16 port);

    Result call(const Call &call);

    // A connection left open until disconnect().
    void connect();
    Result callConnected(const Call &call);
    void disconnect();

    Result balance(const std::string &terminal, const std::string &card);
    Result makePay(const std::string &terminal, const std::string &card, int64_t amount,
                   const std::string &clientSession = "0915071230");
    Result makePayBack(const std::string &terminal, const std::string &card, int64_t amount,
                       const std::string &clientSession = "0915071230");
    Result commit(const std::string &terminal, const std::string &session, const std::string &card);
    Result rollback(const std::string &terminal, const std::string &session,
                    const std::string &card);

    // A socket to the server, not yet open, with the client's time limits.
    std::shared_ptr<apache::thrift::transport::TSocket> newSocket() const;

private:
    quint16 m_port;
    std::shared_ptr<apache::thrift::transport::TSocket> m_socket;
    std::unique_ptr<Client> m_client;
};

#endif // SIMCLIENT_H
