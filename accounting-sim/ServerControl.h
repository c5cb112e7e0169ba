#ifndef SERVERCONTROL_H
#define SERVERCONTROL_H

#include <thrift/server/TServer.h>
#include <thrift/transport/TServerSocket.h>

#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

/*!
    Announces the server once its socket listens and stops it on request.

    preServe() logs "listening on HOST:PORT" with the port the system gave
    when 0 was asked for (tests and the demo read the port from that line),
    then the start-up notices.
    requestStop() may come from the signal thread at any moment, even before
    the socket listens: such an early request stops the server as soon as it
    starts serving instead of being lost.
*/
class ServerControl final : public apache::thrift::server::TServerEventHandler
{
public:
    ServerControl(const QString &host,
                  std::shared_ptr<apache::thrift::transport::TServerSocket> socket,
                  apache::thrift::server::TServer &server, const QStringList &notices);

    void preServe() override;
    void requestStop();

private:
    const QString m_host;
    const QStringList m_notices;
    const std::shared_ptr<apache::thrift::transport::TServerSocket> m_socket;
    apache::thrift::server::TServer &m_server;
    std::mutex m_lock;
    bool m_listening = false;
    bool m_stopRequested = false;
};

#endif // SERVERCONTROL_H
