#ifndef SERVERIDENTITY_H
#define SERVERIDENTITY_H

#include <QString>

typedef struct ssl_ctx_st SSL_CTX;

/*!
    What the till demands of the server's certificate beyond a chain to the
    trusted CA. Always: the certificate is meant for a server, so that an
    extended key usage without serverAuth (a till's own clientAuth
    certificate) is refused. With a server name: the certificate's
    subjectAltName carries that name, a DNS name or, when the name is an
    address, an IP address; the subject's CN is never taken instead.

    Both are handed to OpenSSL's own chain verification, so a refusal is the
    verification's result ("hostname mismatch", "unsuitable certificate
    purpose"), which the socket raises after the handshake with that text.
    applyTo() is the one place these rules are set on a TLS context, however
    and wherever that context is kept.
*/
class ServerIdentity
{
public:
    ServerIdentity() = default;
    explicit ServerIdentity(const QString &serverName);

    // Empty: any name the CA signed is accepted.
    QString serverName() const { return name; }

    // Sets the rules on the context's verification parameters; throws a
    // TSSLException when OpenSSL cannot take the name.
    void applyTo(SSL_CTX *context) const;

private:
    QString name;
};

#endif // SERVERIDENTITY_H
