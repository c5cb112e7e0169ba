#include "ThriftSSLSocketFactory.h"

#include "AllowAccessManager.h"
#include "ServerIdentity.h"

#include <QDateTime>
#include <QFileInfo>

#include <atomic>
#include <csignal>
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

// OpenSSL writes with plain write(): a server that hangs up would kill the
// till with SIGPIPE. Ignored only when nobody chose what to do with it.
void ignoreBrokenPipes()
{
    static const bool done = [] {
        struct sigaction current
        {
        };
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL
            && !(current.sa_flags & SA_SIGINFO))
            signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

// Thrift keeps its factory's TLS context to itself; what the server's
// certificate must show is set on it before any socket is made from it.
class IdentityCheckingFactory : public TSSLSocketFactory
{
public:
    void require(const ServerIdentity &identity) { identity.applyTo(ctx_->get()); }
};

} // namespace

std::shared_ptr<apache::thrift::transport::TSocket>
ThriftSSLSocketFactory::createSocket(const QString &host, int port)
{
    keepTlsLibraryAlive();
    ignoreBrokenPipes();

    IdentityCheckingFactory factory;
    const QByteArray certificate = clientCertificate.toLocal8Bit();
    const QByteArray key = privateKey.isEmpty() ? certificate : privateKey.toLocal8Bit();
    factory.loadCertificate(certificate.constData(), "PEM");
    factory.loadPrivateKey(key.constData(), "PEM");
    factory.loadTrustedCertificates(trustedCertificate.toLocal8Bit().constData());
    factory.require(ServerIdentity(serverName));
    // The names were checked by the verification itself (ServerIdentity).
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

void ThriftSSLSocketFactory::setServerName(const QString &name)
{
    serverName = name;
}

QString ThriftSSLSocketFactory::getServerName() const
{
    return serverName;
}

void ThriftSSLSocketFactory::setPrivateKey(const QString &path)
{
    privateKey = path;
}

QString ThriftSSLSocketFactory::getPrivateKey() const
{
    return privateKey;
}

QString ThriftSSLSocketFactory::connectionKey() const
{
    QString key = QStringLiteral("tls ") + serverName;
    for (const QString &path : {trustedCertificate, clientCertificate, privateKey}) {
        const QFileInfo file(path);
        key += QLatin1Char('\n') + path + QLatin1Char(' ')
            + QString::number(file.lastModified().toMSecsSinceEpoch()) + QLatin1Char(' ')
            + QString::number(file.size());
    }
    return key;
}

int ThriftSSLSocketFactory::processFactoriesMade()
{
    return factoriesMade;
}
