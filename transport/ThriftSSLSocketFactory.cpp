#include "ThriftSSLSocketFactory.h"

#include "AllowAccessManager.h"

#include <atomic>
#include <memory>

#include <thrift/transport/TSSLSocket.h>

using apache::thrift::transport::TSSLSocketFactory;

namespace {

std::atomic<int> factoriesMade {0};

// The library sets up OpenSSL's global state when its first TLS factory is
// made and tears it down when the last one goes. The factory of each
// createSocket() dies on return while its sockets live on, so one factory is
// kept for the life of the process. A function-local static is made exactly
// once even when two threads get here together.
void keepTlsLibraryAlive()
{
    static const std::unique_ptr<TSSLSocketFactory> keeper = [] {
        ++factoriesMade;
        return std::make_unique<TSSLSocketFactory>();
    }();
    (void)keeper;
}

} // namespace

std::shared_ptr<apache::thrift::transport::TSocket>
ThriftSSLSocketFactory::createSocket(const QString &host, int port)
{
    keepTlsLibraryAlive();

    TSSLSocketFactory factory;
    const QByteArray certificate = clientCertificate.toLocal8Bit();
    factory.loadCertificate(certificate.constData(), "PEM");
    factory.loadPrivateKey(certificate.constData(), "PEM");
    factory.loadTrustedCertificates(trustedCertificate.toLocal8Bit().constData());
    factory.access(std::make_shared<AllowAccessManager>());
    return factory.createSocket(host.toLocal8Bit().toStdString(), port);
}

void ThriftSSLSocketFactory::setClientCertificate(const QString &path)
{
    clientCertificate = path;
}

void ThriftSSLSocketFactory::setTrustedCertificate(const QString &path)
{
    trustedCertificate = path;
}

QString ThriftSSLSocketFactory::getClientCertificate() const
{
    return clientCertificate;
}

QString ThriftSSLSocketFactory::getTrustedCertificate() const
{
    return trustedCertificate;
}

int ThriftSSLSocketFactory::processFactoriesMade()
{
    return factoriesMade;
}
