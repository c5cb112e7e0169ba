#include "ThriftTransportProvider.h"

#include "EndpointHealth.h"
#include "EndpointProbe.h"
#include "KeptConnections.h"
#include "Limits.h"
#include "NoServerAvailable.h"
#include "ThriftSocketFactory.h"
#include "ThriftTransportWrapper.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <vector>

#include <thrift/Thrift.h>

namespace {

// A connection on which nothing succeeded for this long is closed.
const int idleTimeoutMs = 60000;

// Every what() of the plug-in is UTF-8.
std::string localText(const QString &text)
{
    return text.toUtf8().toStdString();
}

QString endpointKey(const QString &host, int port)
{
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

ThriftTransportProvider::Endpoint::Endpoint(const QString &host, int port, int index)
    : host(host)
    , port(port)
    , index(index)
    , failures(0)
{
}

bool ThriftTransportProvider::Endpoint::operator<(const Endpoint &other) const
{
    return failures < other.failures;
}

ThriftTransportProvider::ThriftTransportProvider(std::shared_ptr<ThriftSocketFactory> socketFactory,
                                                 QObject *parent)
    : QObject(parent)
    , socketFactory(std::move(socketFactory))
    , connectTimeout(0)
    , receiveTimeout(0)
    , sendTimeout(0)
    , expiryTimer(new QTimer(this))
    , logger("thrifttransportprovider")
{
    expiryTimer->setSingleShot(true);
    connect(expiryTimer, &QTimer::timeout, this, &ThriftTransportProvider::connectionExpired);
}

ThriftTransportProvider::~ThriftTransportProvider()
{
    leaveCurrentOpen();
}

void ThriftTransportProvider::addEndpoint(const QString &host, int port)
{
    endpoints.append(Endpoint(host, port, endpoints.size()));
}

std::shared_ptr<ThriftTransportWrapper> ThriftTransportProvider::getTransport()
{
    logTimeouts();

    if (currentTransport && currentTransport->isOpen())
        return currentTransport;

    if (endpoints.isEmpty()) {
        logger.info(QStringLiteral("Отсутствуют настроенные адреса поставщиков сервиса"));
        throw apache::thrift::TException(localText(QStringLiteral("Не задан сервер")));
    }

    // Fewest failures first; among equals, an endpoint that would not
    // connect lately (in any provider of the process) goes last; the stable
    // sort keeps the order of addition otherwise. When all are resting they
    // are still all tried: a till with one server is never locked out.
    struct Candidate
    {
        Endpoint endpoint;
        bool resting;
    };
    EndpointProbe::collect();
    std::vector<Candidate> order;
    for (const Endpoint &endpoint : qAsConst(endpoints)) {
        order.push_back({endpoint, EndpointHealth::resting(endpoint.host, endpoint.port)});
        // A resting endpoint whose rest is over is tried in the background;
        // it stays behind the others until that connects, so no cashier
        // waits out its connect limit while another server answers.
        if (order.back().resting && EndpointHealth::restEnded(endpoint.host, endpoint.port))
            EndpointProbe::start(endpoint.host, endpoint.port, connectTimeout,
                                 socketFactory->tlsContext());
    }
    std::stable_sort(order.begin(), order.end(), [](const Candidate &a, const Candidate &b) {
        if (a.endpoint < b.endpoint || b.endpoint < a.endpoint)
            return a.endpoint < b.endpoint;
        return !a.resting && b.resting;
    });

    std::shared_ptr<ThriftTransportWrapper> opened;
    for (const Candidate &candidate : order) {
        const Endpoint &endpoint = candidate.endpoint;
        if (std::shared_ptr<ThriftTransportWrapper> kept = keptTransport(endpoint)) {
            opened = kept;
            break;
        }
        // Outside the handler: a factory that cannot make sockets for one
        // endpoint cannot make them for the others either.
        std::shared_ptr<ThriftTransportWrapper> transport
            = makeTransport(endpoint.host, endpoint.port, endpoint.index);
        QElapsedTimer dialling;
        dialling.start();
        try {
            logger.info(QStringLiteral("Соединение с %1:%2")
                            .arg(endpoint.host, QString::number(endpoint.port)));
            transport->open();
            EndpointHealth::connected(endpoint.host, endpoint.port);
            logger.info(QStringLiteral("Открыто соединение thrift"));
            // As configured: asking the socket for its peer's name is a
            // reverse lookup, a network query on the cashier's time.
            logger.info(QStringLiteral("Хост: %1, порт: %2")
                            .arg(endpoint.host, QString::number(endpoint.port)));
            opened = transport;
            break;
        } catch (const std::exception &e) {
            // A transport failure was already counted through the wrapper.
            // One that made the cashier wait (no answer to the connection at
            // all) rests the endpoint; a refusal costs nothing to try again.
            if (dialling.elapsed() >= Limits::endpointSlowFailureMs)
                EndpointHealth::failed(endpoint.host, endpoint.port);
            logger.info(QStringLiteral("Ошибка соединения с сервером %1")
                            .arg(QString::fromLocal8Bit(e.what())));
        }
    }

    if (!opened) {
        const QString message = QStringLiteral("Нет доступных серверов");
        logger.info(message);
        throw NoServerAvailable(localText(message));
    }

    currentTransport = opened;
    expiryTimer->start(idleTimeoutMs);
    return currentTransport;
}

std::shared_ptr<ThriftTransportWrapper> ThriftTransportProvider::getTransport(const QString &host,
                                                                              int port)
{
    logTimeouts();
    std::shared_ptr<ThriftTransportWrapper> transport = makeTransport(host, port, -1);
    transport->open();
    currentTransport = transport;
    expiryTimer->start(idleTimeoutMs);
    return currentTransport;
}

QStringList ThriftTransportProvider::hosts() const
{
    QStringList result;
    for (const Endpoint &endpoint : endpoints)
        // One pass: a host that holds "%2" must not take the port's place.
        result << QStringLiteral("%1:%2").arg(endpoint.host, QString::number(endpoint.port));
    return result;
}

int ThriftTransportProvider::getConnectTimeout() const
{
    return connectTimeout;
}

void ThriftTransportProvider::setConnectTimeout(int ms)
{
    connectTimeout = ms;
}

int ThriftTransportProvider::getReceiveTimeout() const
{
    return receiveTimeout;
}

void ThriftTransportProvider::setReceiveTimeout(int ms)
{
    receiveTimeout = ms;
}

int ThriftTransportProvider::getSendTimeout() const
{
    return sendTimeout;
}

void ThriftTransportProvider::setSendTimeout(int ms)
{
    sendTimeout = ms;
}

std::shared_ptr<ThriftSocketFactory> ThriftTransportProvider::getSocketFactory() const
{
    return socketFactory;
}

void ThriftTransportProvider::setKeepAlive(int seconds)
{
    keepAliveSeconds = qMax(seconds, 0);
}

void ThriftTransportProvider::dropKeptConnections()
{
    for (const Endpoint &endpoint : qAsConst(endpoints))
        KeptConnections::drop(endpointKey(endpoint.host, endpoint.port));
}

void ThriftTransportProvider::transportFail(int index)
{
    if (index >= 0 && index < endpoints.size())
        ++endpoints[index].failures;
    // Not closed here: whoever holds the transport still uses it.
    currentTransport.reset();
}

void ThriftTransportProvider::transportOk(int)
{
    expiryTimer->start(idleTimeoutMs);
}

void ThriftTransportProvider::connectionExpired()
{
    if (!currentTransport || !currentTransport->isOpen())
        return;
    logger.info(QStringLiteral("Закрытие соединения с сервером по таймеру"));
    // Held here as well: a failing close() reports back and drops
    // currentTransport while the wrapper is still at work.
    const std::shared_ptr<ThriftTransportWrapper> transport = currentTransport;
    transport->close();
    currentTransport.reset();
}

std::shared_ptr<ThriftTransportWrapper>
ThriftTransportProvider::keptTransport(const Endpoint &endpoint)
{
    // Asked even with no keep-alive: the endpoint's kept connections go then.
    std::shared_ptr<apache::thrift::transport::TSocket> socket
        = KeptConnections::take(endpointKey(endpoint.host, endpoint.port),
                                socketFactory->connectionKey(), qint64(keepAliveSeconds) * 1000);
    if (!socket)
        return nullptr;
    auto transport = std::make_shared<ThriftTransportWrapper>(socket, this, endpoint.index);
    transport->setKeptBefore();
    // This operation's limits, not those of the one that opened it.
    transport->setRecvTimeout(receiveTimeout);
    transport->setSendTimeout(sendTimeout);
    logger.info(QStringLiteral("Соединение с %1:%2 уже открыто")
                    .arg(endpoint.host, QString::number(endpoint.port)));
    return transport;
}

void ThriftTransportProvider::leaveCurrentOpen()
{
    if (keepAliveSeconds <= 0 || !currentTransport || !currentTransport->isOpen()
        || !currentTransport->atRest())
        return;
    const int index = currentTransport->getEndpointIndex();
    if (index < 0 || index >= endpoints.size())
        return;
    const Endpoint &endpoint = endpoints[index];
    KeptConnections::keep(endpointKey(endpoint.host, endpoint.port), socketFactory->connectionKey(),
                          currentTransport->getSocket());
    currentTransport.reset();
}

void ThriftTransportProvider::logTimeouts()
{
    logger.info(QStringLiteral("Значения таймаутов connect - %1, receive - %2, send - %3")
                    .arg(connectTimeout)
                    .arg(receiveTimeout)
                    .arg(sendTimeout));
}

std::shared_ptr<ThriftTransportWrapper> ThriftTransportProvider::makeTransport(const QString &host,
                                                                               int port, int index)
{
    std::shared_ptr<apache::thrift::transport::TSocket> socket
        = socketFactory->createSocket(host, port);
    // No reply may be larger than the client will ever decode; a factory
    // that set a smaller limit keeps it.
    const std::shared_ptr<apache::thrift::TConfiguration> configuration
        = socket->getConfiguration();
    if (configuration && configuration->getMaxMessageSize() > Limits::maxReplyBytes)
        configuration->setMaxMessageSize(Limits::maxReplyBytes);
    auto transport = std::make_shared<ThriftTransportWrapper>(socket, this, index);
    transport->setConnTimeout(connectTimeout);
    transport->setRecvTimeout(receiveTimeout);
    transport->setSendTimeout(sendTimeout);
    return transport;
}
