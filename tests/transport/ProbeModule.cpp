// A small library that starts endpoint probes, so that the transport suite
// can unload the probes' code while one runs, as a till unloads the
// plug-in.

#include "EndpointProbe.h"

#include <QtGlobal>

#include <thrift/transport/TSSLSocket.h>

extern "C" {

// 1: started, 0: not started. With tls, the probe makes a handshake with a
// context of its own, which it frees as it ends.
Q_DECL_EXPORT int startProbe(const char *host, int port, int connectMs, int tls)
{
    return EndpointProbe::start(QString::fromLatin1(host), port, connectMs,
                                tls ? std::make_shared<apache::thrift::transport::SSLContext>()
                                    : nullptr)
        ? 1
        : 0;
}

Q_DECL_EXPORT int probesRunning()
{
    return EndpointProbe::running();
}
}
