#ifndef THRIFTSSLSOCKETFACTORY_H
#define THRIFTSSLSOCKETFACTORY_H

#include "ThriftSocketFactory.h"

/*!
    TLS sockets that present a client certificate (certificate chain and
    unencrypted private key in one PEM file) and check the server against a
    PEM file of trusted certificates. Host names in the server certificate
    are not compared with the host dialled (AllowAccessManager). The files
    are read again for every socket.
*/
class ThriftSSLSocketFactory : public ThriftSocketFactory
{
public:
    std::shared_ptr<apache::thrift::transport::TSocket> createSocket(const QString &host,
                                                                     int port) override;

    void setClientCertificate(const QString &path);
    void setTrustedCertificate(const QString &path);
    QString getClientCertificate() const;
    QString getTrustedCertificate() const;
    // The private key's own PEM file; empty (the default): the key is in
    // the client certificate's file.
    void setPrivateKey(const QString &path);
    QString getPrivateKey() const;

    // How many process-wide TLS library factories were made: 0 before the
    // first createSocket(), 1 for ever after.
    static int processFactoriesMade();

private:
    QString clientCertificate;
    QString trustedCertificate;
    QString privateKey;
};

#endif // THRIFTSSLSOCKETFACTORY_H
