#ifndef TESTSERVERS_H
#define TESTSERVERS_H

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "AccountingLogicService.h"

namespace apache::thrift {
namespace server {
class TThreadedServer;
}
namespace transport {
class TServerSocket;
class TSSLSocketFactory;
} // namespace transport
} // namespace apache::thrift

/*!
    A port on 127.0.0.1 that refuses connections: bound, never listening,
    held for the life of the object so nobody else takes it.
*/
class RefusedPort
{
public:
    RefusedPort();
    ~RefusedPort();
    int port() const { return m_port; }

private:
    int m_fd;
    int m_port;
};

/*!
    A TCP server on 127.0.0.1 port 0 for servers that must misbehave. Without
    a session it never accepts: the kernel completes the connection and
    nothing is ever answered. With one, it accepts connections one after the
    other and hands each to the session on its own thread; the session owns
    the descriptor and closes it.
*/
class RawServer
{
public:
    explicit RawServer(std::function<void(int fd)> session = {});
    ~RawServer();
    int port() const { return m_port; }
    int accepted() const { return m_accepted; }
    // Stops listening: later connections are refused.
    void stopListening();

    // Session helpers.
    static void writeAll(int fd, const std::string &bytes);
    static void waitForPeerClose(int fd);

private:
    int m_fd;
    int m_port;
    std::atomic<int> m_accepted {0};
    std::function<void(int)> m_session;
    std::thread m_thread;
};

/*!
    Answers AccountingLogicService calls. balance() answers the card's
    number as session id and, as description, descriptionBytes bytes of
    Cyrillic text; makePay() and commitTransaction() succeed.
*/
class AccountingHandler : public accounting::logic::thriftapi::AccountingLogicServiceNull
{
public:
    void balance(accounting::logic::thriftapi::Result &answer, const std::string &terminalId,
                 const std::string &cardNumber) override;
    void makePay(accounting::logic::thriftapi::Result &answer, const std::string &terminalId,
                 const std::string &sessionId, const std::string &cardNumber, int64_t amount,
                 const accounting::logic::thriftapi::AdditionalAssetInfo &info) override;

    std::atomic<int> calls {0};
    std::atomic<int> descriptionBytes {16};
};

/*!
    The generated processor on a threaded Thrift server, plain TCP or TLS, on
    127.0.0.1 port 0, serving from its own thread until destroyed.
*/
class AccountingServer
{
public:
    explicit AccountingServer(std::shared_ptr<AccountingHandler> handler);
    AccountingServer(std::shared_ptr<AccountingHandler> handler,
                     std::shared_ptr<apache::thrift::transport::TSSLSocketFactory> tls);
    ~AccountingServer();
    int port() const { return m_port; }

private:
    void start(std::shared_ptr<AccountingHandler> handler,
               std::shared_ptr<apache::thrift::transport::TServerSocket> socket);

    std::shared_ptr<apache::thrift::server::TThreadedServer> m_server;
    std::thread m_thread;
    int m_port = 0;
};

// Descriptors the process has open, from /proc/self/fd.
int openDescriptors();

#endif // TESTSERVERS_H
