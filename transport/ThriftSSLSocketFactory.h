#ifndef THRIFTSSLSOCKETFACTORY_H
#define THRIFTSSLSOCKETFACTORY_H

#include "ThriftSocketFactory.h"

/*!
    TLS sockets that present a client certificate (certificate chain and
    unencrypted private key in one PEM file) and check the server against a
    PEM file of trusted certificates. The server's certificate must be meant
    for a server and, when a server name is set, carry it in its
    subjectAltName (ServerIdentity); it is never compared with the host
    dialled, which may be an address the certificate does not list.

    The process makes one TLS context for each configuration (the files, as
    long as their times and sizes stay, and the server name) and keeps it;
    files that change make a new one for the next socket. Each socket offers
    the session the last connection to its endpoint left (TlsSessionSocket).
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
    // The name the server's certificate must carry; empty (the default):
    // any server certificate the CA signed will do.
    void setServerName(const QString &name);
    QString getServerName() const;

    // The server name and the files, with their times and sizes: a till
    // whose certificates were replaced dials anew rather than go on with
    // the old ones.
    QString connectionKey() const override;
    std::shared_ptr<apache::thrift::transport::SSLContext> tlsContext() override;

    // How many process-wide TLS library factories were made: 0 before the
    // first createSocket(), 1 for ever after.
    static int processFactoriesMade();

private:
    QString clientCertificate;
    QString trustedCertificate;
    QString privateKey;
    QString serverName;
};

#endif // THRIFTSSLSOCKETFACTORY_H
