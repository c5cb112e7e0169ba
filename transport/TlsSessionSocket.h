#ifndef TLSSESSIONSOCKET_H
#define TLSSESSIONSOCKET_H

#include <QString>

#include <memory>

#include <thrift/transport/TSSLSocket.h>

/*!
    A client TLS socket that resumes the session its endpoint's last
    connection left (TlsSessionCache, under sessionKey) and leaves its own
    for the next one. Thrift makes the TLS object lazily, at the first
    exchange; this socket makes it as soon as the connection is open, so
    that the session can be offered before the handshake.

    A server that fails the handshake rather than decline the offered
    session (OpenSSL does, for one that asks for client certificates
    without a session id context) gets the handshake again, without a
    session, on a new connection: nothing of the request has left by then.
*/
class TlsSessionSocket : public apache::thrift::transport::TSSLSocket
{
public:
    TlsSessionSocket(std::shared_ptr<apache::thrift::transport::SSLContext> context,
                     const std::string &host, int port, const QString &sessionKey);

    void open() override;
    uint32_t read(uint8_t *buf, uint32_t len) override;
    void write(const uint8_t *buf, uint32_t len) override;

private:
    const QString sessionKey;
    bool offered = false;
    bool remembered = false;
};

#endif // TLSSESSIONSOCKET_H
