#include "SimClient.h"

using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TSocket;

SimClient::SimClient(quint16 port)
    : m_port(port)
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

std::shared_ptr<TSocket> SimClient::newSocket() const
{
    auto socket = std::make_shared<TSocket>("127.0.0.1", int(m_port));
    // A server that serves one connection at a time fails the test instead of hanging it.
    socket->setConnTimeout(3000);
    socket->setRecvTimeout(3000);
    socket->setSendTimeout(3000);
    return socket;
}
