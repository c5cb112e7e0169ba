#include "ThriftSSLSocketFactory.h"

#include "AllowAccessManager.h"
#include "ServerIdentity.h"
#include "TlsSessionSocket.h"

#include <QDateTime>
#include <QFileInfo>

#include <atomic>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>

#include <thrift/transport/TSSLSocket.h>

using apache::thrift::transport::TSSLSocketFactory;

namespace {

std::atomic<int> factoriesMade {0};

const size_t maxContexts = 8;

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
// One is made for each TLS configuration and kept: loading the files and
// building the context costs more CPU than a whole call, and resumed
// sessions belong to the context that made them.
class ContextFactory : public TSSLSocketFactory
{
public:
    void require(const ServerIdentity &identity) { identity.applyTo(ctx_->get()); }
    std::shared_ptr<apache::thrift::transport::SSLContext> context() const { return ctx_; }

    std::shared_ptr<apache::thrift::transport::TSocket>
    sessionSocket(const std::string &host, int port, const QString &sessionKey)
    {
        auto socket = std::make_shared<TlsSessionSocket>(ctx_, host, port, sessionKey);
        socket->server(false);
        // The names were checked by the verification itself (ServerIdentity).
        socket->access(allowAll);
        return socket;
    }

private:
    const std::shared_ptr<AllowAccessManager> allowAll = std::make_shared<AllowAccessManager>();
};

std::mutex contextsLock;

// Never destroyed: contexts freed after OpenSSL's own clean-up at exit
// would touch freed state.
std::map<QString, std::shared_ptr<ContextFactory>> &contexts()
{
    static auto *made = new std::map<QString, std::shared_ptr<ContextFactory>>;
    return *made;
}

// The process's context for the configuration, made on first use.
std::shared_ptr<ContextFactory> contextFor(const ThriftSSLSocketFactory &settings,
                                           const QString &key)
{
    keepTlsLibraryAlive();
    ignoreBrokenPipes();
    std::lock_guard<std::mutex> guard(contextsLock);
    auto found = contexts().find(key);
    if (found != contexts().end())
        return found->second;
    auto factory = std::make_shared<ContextFactory>();
    const QByteArray certificate = settings.getClientCertificate().toLocal8Bit();
    const QByteArray privateKeyPath
        = settings.getPrivateKey().isEmpty() ? certificate : settings.getPrivateKey().toLocal8Bit();
    factory->loadCertificate(certificate.constData(), "PEM");
    factory->loadPrivateKey(privateKeyPath.constData(), "PEM");
    factory->loadTrustedCertificates(settings.getTrustedCertificate().toLocal8Bit().constData());
    factory->require(ServerIdentity(settings.getServerName()));
    // A till has one configuration at a time; the few before it go.
    if (contexts().size() >= maxContexts)
        contexts().clear();
    contexts().emplace(key, factory);
    return factory;
}

} // namespace

std::shared_ptr<apache::thrift::transport::TSocket>
ThriftSSLSocketFactory::createSocket(const QString &host, int port)
{
    // The files' times and sizes are part of the key: replaced files make
    // a new context, with no sessions of the old one.
    const QString key = connectionKey();
    return contextFor(*this, key)
        ->sessionSocket(host.toLocal8Bit().toStdString(), port,
                        host + QLatin1Char(':') + QString::number(port) + QLatin1Char('\n') + key);
}

std::shared_ptr<apache::thrift::transport::SSLContext> ThriftSSLSocketFactory::tlsContext()
{
    return contextFor(*this, connectionKey())->context();
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
