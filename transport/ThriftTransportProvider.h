#ifndef THRIFTTRANSPORTPROVIDER_H
#define THRIFTTRANSPORTPROVIDER_H

#include "Logger.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QTimer;
class ThriftSocketFactory;
class ThriftTransportWrapper;

/*!
    Hands out one open transport to the accounting servers at a time. Dials
    the endpoints in order of fewest failures (order of addition among
    equals), hands the last transport out again while it is open, and closes
    it after 60 seconds without a successful exchange.

    With a keep-alive (seconds, 0 by default) the provider first looks for a
    connection to the endpoint that an earlier provider of the process left
    open (KeptConnections), and when it goes it leaves its own there, if its
    last call was answered in full. With none, every provider dials anew.
*/
class ThriftTransportProvider : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int connectTimeout READ getConnectTimeout WRITE setConnectTimeout)
    Q_PROPERTY(int receiveTimeout READ getReceiveTimeout WRITE setReceiveTimeout)
    Q_PROPERTY(int sendTimeout READ getSendTimeout WRITE setSendTimeout)

public:
    class Endpoint
    {
    public:
        Endpoint(const QString &host, int port, int index);
        bool operator<(const Endpoint &other) const;

        QString host;
        int port;
        int index;
        int failures;
    };

    ThriftTransportProvider(std::shared_ptr<ThriftSocketFactory> socketFactory,
                            QObject *parent = nullptr);
    ~ThriftTransportProvider() override;

    void addEndpoint(const QString &host, int port);
    std::shared_ptr<ThriftTransportWrapper> getTransport();
    std::shared_ptr<ThriftTransportWrapper> getTransport(const QString &host, int port);
    QStringList hosts() const;

    int getConnectTimeout() const;
    void setConnectTimeout(int ms);
    int getReceiveTimeout() const;
    void setReceiveTimeout(int ms);
    int getSendTimeout() const;
    void setSendTimeout(int ms);

    std::shared_ptr<ThriftSocketFactory> getSocketFactory() const;

    int getKeepAlive() const { return keepAliveSeconds; }
    void setKeepAlive(int seconds);
    // Closes what the process keeps open to this provider's endpoints, so
    // that the next transport is a fresh connection.
    void dropKeptConnections();

    // Reports from the wrappers this provider made.
    void transportFail(int index);
    void transportOk(int index);

public slots:
    void connectionExpired();

private:
    void logTimeouts();
    std::shared_ptr<ThriftTransportWrapper> makeTransport(const QString &host, int port, int index);
    std::shared_ptr<ThriftTransportWrapper> keptTransport(const Endpoint &endpoint);
    void leaveCurrentOpen();

    std::shared_ptr<ThriftSocketFactory> socketFactory;
    QList<Endpoint> endpoints;
    int connectTimeout;
    int receiveTimeout;
    int sendTimeout;
    int keepAliveSeconds = 0;
    std::shared_ptr<ThriftTransportWrapper> currentTransport;
    QTimer *expiryTimer;
    Logger logger;
};

#endif // THRIFTTRANSPORTPROVIDER_H
