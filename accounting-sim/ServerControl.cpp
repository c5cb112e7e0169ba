#include "ServerControl.h"

#include "Console.h"
#include "PooledServer.h"
#include "SheddingServerSocket.h"
#include "TlsContext.h"
#include "TlsError.h"

ServerControl::ServerControl(const QString &host, SheddingServerSocket &socket,
                             PooledServer &server, const QStringList &notices,
                             const SimOptions::Tls &tls)
    : m_host(host)
    , m_socket(socket)
    , m_server(server)
    , m_notices(notices)
    , m_tls(tls)
{
}

void ServerControl::listening()
{
    Console::out(
        QStringLiteral("listening on %1:%2").arg(m_host, QString::number(m_socket.port())));
    for (const QString &notice : m_notices)
        Console::out(notice);
}

void ServerControl::requestStop()
{
    m_server.stop();
}

void ServerControl::reload()
{
    if (!m_tls.enabled()) {
        Console::out(QStringLiteral("SIGHUP: no TLS files to read again"));
        return;
    }
    try {
        m_server.replaceTls(std::make_shared<TlsContext>(m_tls));
        Console::out(QStringLiteral("SIGHUP: read the TLS files again; sessions from before"
                                    " are not resumed"));
    } catch (const TlsError &e) {
        Console::err(QStringLiteral("accounting-sim: SIGHUP: kept the TLS files read before: ")
                     + QString::fromUtf8(e.what()));
    }
}
