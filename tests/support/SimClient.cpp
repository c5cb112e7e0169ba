#include "SimClient.h"

#include <thrift/transport/TSSLSocket.h>
#include <thrift/transport/TTransportException.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransportException;

SimClient::SimClient(quint16 port,
                     std::shared_ptr<apache::thrift::transport::TSSLSocketFactory> tls)
    : m_port(port)
    , m_tls(std::move(tls))
{
}

SimClient::Result SimClient::call(const Call &call)
{
    auto socket = newSocket();
    Client client(std::make_shared<TBinaryProtocol>(socket));
    socket->open();
    Result result;
    call(client, result);
    socket->close();
    return result;
}

void SimClient::admin(const std::function<void(AdminClient &)> &call)
{
    auto socket = newSocket();
    AdminClient client(std::make_shared<TBinaryProtocol>(socket));
    socket->open();
    call(client);
    socket->close();
}

void SimClient::connect()
{
    m_socket = newSocket();
    m_client = std::make_unique<Client>(std::make_shared<TBinaryProtocol>(m_socket));
    m_socket->open();
}

SimClient::Result SimClient::callConnected(const Call &call)
{
    Result result;
    call(*m_client, result);
    return result;
}

void SimClient::disconnect()
{
    m_socket->close();
    m_client.reset();
    m_socket.reset();
}

SimClient::Result SimClient::balance(const std::string &terminal, const std::string &card)
{
    return call([&](Client &c, Result &r) { c.balance(r, terminal, card); });
}

SimClient::Result SimClient::makePay(const std::string &terminal, const std::string &card,
                                     int64_t amount, const std::string &clientSession)
{
    return call(
        [&](Client &c, Result &r) { c.makePay(r, terminal, clientSession, card, amount, {}); });
}

SimClient::Result SimClient::makePayBack(const std::string &terminal, const std::string &card,
                                         int64_t amount, const std::string &clientSession)
{
    return call(
        [&](Client &c, Result &r) { c.makePayBack(r, terminal, clientSession, card, amount, {}); });
}

SimClient::Result SimClient::makeEarn(const std::string &terminal, const std::string &card,
                                      int64_t amount, const std::string &clientSession,
                                      const accounting::logic::thriftapi::AssetGroup &group)
{
    return call([&](Client &c, Result &r) {
        c.makeEarn(r, terminal, clientSession, card, amount, {}, group);
    });
}

SimClient::Result SimClient::commit(const std::string &terminal, const std::string &session,
                                    const std::string &card)
{
    return call([&](Client &c, Result &r) { c.commitTransaction(r, terminal, session, card); });
}

SimClient::Result SimClient::rollback(const std::string &terminal, const std::string &session,
                                      const std::string &card)
{
    return call([&](Client &c, Result &r) { c.rollbackTransaction(r, terminal, session, card); });
}

namespace {

// A TCP socket bound to `source` and connected to 127.0.0.1:port; with
// `wait` unset it is non-blocking and the connection not waited for.
int socketFrom(const std::string &source, quint16 port, bool wait)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return -1;
    sockaddr_in from {};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0
        || (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && wait)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

int SimClient::rawConnection(quint16 port, const std::string &source)
{
    return socketFrom(source, port, false);
}

std::shared_ptr<TSocket> SimClient::newSocket() const
{
    std::shared_ptr<TSocket> socket;
    if (m_source.empty()) {
        socket = m_tls ? m_tls->createSocket("127.0.0.1", int(m_port))
                       : std::make_shared<TSocket>("127.0.0.1", int(m_port));
    } else {
        // Thrift cannot choose the local address: the socket is made here,
        // connected, and handed over.
        const int fd = socketFrom(m_source, m_port, true);
        if (fd < 0)
            throw TTransportException(TTransportException::NOT_OPEN,
                                      "cannot connect from " + m_source + ": "
                                          + std::strerror(errno));
        socket = m_tls ? std::shared_ptr<TSocket>(m_tls->createSocket(fd))
                       : std::make_shared<TSocket>(fd);
    }
    // A server that serves one connection at a time fails the test instead of hanging it.
    socket->setConnTimeout(3000);
    socket->setRecvTimeout(3000);
    socket->setSendTimeout(3000);
    return socket;
}
