#ifndef SIMCLIENT_H
#define SIMCLIENT_H

#include "AccountingAdminLogicService.h"
#include "AccountingLogicService.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TSocket.h>

#include <QtGlobal>

#include <functional>
#include <memory>
#include <string>

namespace apache::thrift::transport {
class TSSLSocketFactory;
}

/*!
    Talks to the server the way the till does: binary protocol straight on a
    TCP socket, or on TLS with the factory given. Each call() makes a
    connection of its own and closes it after the answer; connect() keeps
    one open for tests that need several at once. setSource() makes the
    connections come from another loopback address (127.0.0.2, ...), as
    another machine's would. Thrift exceptions pass through to the test.
*/
class SimClient
{
public:
    using Result = accounting::logic::thriftapi::Result;
    using Client = accounting::logic::thriftapi::AccountingLogicServiceClient;
    using Call = std::function<void(Client &, Result &)>;

    explicit SimClient(quint16 port,
                       std::shared_ptr<apache::thrift::transport::TSSLSocketFactory> tls = nullptr);

    void setSource(const std::string &address) { m_source = address; }

    Result call(const Call &call);
    // A call of the administrative service, on a connection of its own; the
    // port must be the administrative one.
    using AdminClient = accounting::logic::thriftapi::AccountingAdminLogicServiceClient;
    void admin(const std::function<void(AdminClient &)> &call);

    // A connection left open until disconnect().
    void connect();
    Result callConnected(const Call &call);
    void disconnect();

    Result balance(const std::string &terminal, const std::string &card);
    Result makePay(const std::string &terminal, const std::string &card, int64_t amount,
                   const std::string &clientSession = "0915071230");
    Result makePayBack(const std::string &terminal, const std::string &card, int64_t amount,
                       const std::string &clientSession = "0915071230");
    Result makeEarn(const std::string &terminal, const std::string &card, int64_t amount,
                    const std::string &clientSession,
                    const accounting::logic::thriftapi::AssetGroup &group = {});
    Result commit(const std::string &terminal, const std::string &session, const std::string &card);
    Result rollback(const std::string &terminal, const std::string &session,
                    const std::string &card);

    // A socket to the server, not yet open, with the client's time limits.
    std::shared_ptr<apache::thrift::transport::TSocket> newSocket() const;

    // A plain TCP connection to the server from `source`, left to the test:
    // non-blocking, not waited for; -1 when no socket could be made.
    static int rawConnection(quint16 port, const std::string &source = "127.0.0.1");

private:
    quint16 m_port;
    std::shared_ptr<apache::thrift::transport::TSSLSocketFactory> m_tls;
    std::string m_source;
    std::shared_ptr<apache::thrift::transport::TSocket> m_socket;
    std::unique_ptr<Client> m_client;
};

#endif // SIMCLIENT_H
