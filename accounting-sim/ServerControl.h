#ifndef SERVERCONTROL_H
#define SERVERCONTROL_H

#include "SimOptions.h"

#include <QString>
#include <QStringList>

class PooledServer;
class SheddingServerSocket;

/*!
    What the operator sees of the server starting, and what the signals ask
    of it.

    listening() logs "listening on HOST:PORT" with the port the system gave
    when 0 was asked for (tests and the demo read the port from that line),
    then the start-up notices. requestStop() (SIGINT, SIGTERM) may come at
    any moment, even before the socket listens. reload() (SIGHUP) reads the
    TLS files again, the revocation list among them; files that cannot be
    used are logged and the ones read before stay.
*/
class ServerControl final
{
public:
    ServerControl(const QString &host, SheddingServerSocket &socket, PooledServer &server,
                  const QStringList &notices, const SimOptions::Tls &tls);

    void listening();
    void requestStop();
    void reload();

private:
    const QString m_host;
    SheddingServerSocket &m_socket;
    PooledServer &m_server;
    const QStringList m_notices;
    const SimOptions::Tls m_tls;
};

#endif // SERVERCONTROL_H
