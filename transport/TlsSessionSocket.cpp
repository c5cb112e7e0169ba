#include "TlsSessionSocket.h"

#include "TlsSessionCache.h"

TlsSessionSocket::TlsSessionSocket(std::shared_ptr<apache::thrift::transport::SSLContext> context,
                                   const std::string &host, int port, const QString &sessionKey)
    : TSSLSocket(std::move(context), host, port)
    , sessionKey(sessionKey)
{
}

void TlsSessionSocket::open()
{
    TSSLSocket::open();
    if (ssl_ == nullptr)
        initializeHandshakeParams();
    offered = TlsSessionCache::offer(sessionKey, ssl_);
}

void TlsSessionSocket::write(const uint8_t *buf, uint32_t len)
{
    try {
        TSSLSocket::write(buf, len);
    } catch (const apache::thrift::transport::TTransportException &) {
        // Only a handshake that failed with a session on offer is made
        // again; once it is done, application bytes may have gone out.
        if (!offered || checkHandshake())
            throw;
        offered = false;
        TlsSessionCache::forget(sessionKey);
        close();
        TSSLSocket::open();
        TSSLSocket::write(buf, len);
    }
}

uint32_t TlsSessionSocket::read(uint8_t *buf, uint32_t len)
{
    const uint32_t got = TSSLSocket::read(buf, len);
    // The server sends its TLS 1.3 tickets right after the handshake, so
    // they have been read by the time the reply has begun.
    if (!remembered && got > 0 && ssl_) {
        remembered = true;
        TlsSessionCache::remember(sessionKey, ssl_);
    }
    return got;
}
