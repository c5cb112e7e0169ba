#include "ServerControl.h"

#include "Console.h"

ServerControl::ServerControl(const QString &host,
                             std::shared_ptr<apache::thrift::transport::TServerSocket> socket,
                             apache::thrift::server::TServer &server, const QStringList &notices)
    : m_host(host)
    , m_notices(notices)
    , m_socket(std::move(socket))
    , m_server(server)
{
}

void ServerControl::preServe()
{
    Console::out(
        QStringLiteral("listening on %1:%2").arg(m_host, QString::number(m_socket->getPort())));
    for (const QString &notice : m_notices)
        Console::out(notice);
    std::lock_guard<std::mutex> guard(m_lock);
    m_listening = true;
    // Stopping before the socket listens does nothing; do it now.
    if (m_stopRequested)
        m_server.stop();
}

void ServerControl::requestStop()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopRequested = true;
    if (m_listening)
        m_server.stop();
}
