// A small library that starts endpoint probes, so that the transport suite
// can unload the probes' code while one runs, as a till unloads the
// plug-in.

#include "EndpointProbe.h"
#include "ThriftSSLSocketFactory.h"

#include <QtGlobal>

#include <exception>

extern "C" {

// 1: started, 0: not started, -1: the TLS files would not load.
Q_DECL_EXPORT int startProbe(const char *host, int port, int connectMs, const char *caFile,
                             const char *certificateFile)
{
    std::shared_ptr<apache::thrift::transport::SSLContext> tls;
    if (caFile) {
        ThriftSSLSocketFactory factory;
        factory.setTrustedCertificate(QString::fromLocal8Bit(caFile));
        factory.setClientCertificate(QString::fromLocal8Bit(certificateFile));
        try {
            tls = factory.tlsContext();
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
            return -1;
        }
    }
    return EndpointProbe::start(QString::fromLatin1(host), port, connectMs, tls) ? 1 : 0;
}

Q_DECL_EXPORT int probesRunning()
{
    return EndpointProbe::running();
}
}
