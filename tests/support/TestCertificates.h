#ifndef TESTCERTIFICATES_H
#define TESTCERTIFICATES_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace apache::thrift::transport {
class TSSLSocketFactory;
}
typedef struct ssl_session_st SSL_SESSION;

/*!
    TLS certificates made by openssl at test time in a temporary directory;
    nothing is committed. make() writes name.key, name.pem (certificate
    only) and name-bundle.pem (certificate and key, as the till's client
    certificate file holds them), signed by another certificate made here or
    self-signed, with the X.509 extensions given as openssl's -addext takes
    them ("subjectAltName=URI:urn:terminal:T-01", "extendedKeyUsage=clientAuth").
    revoke() puts a certificate on its CA's revocation list, ca-crl.pem,
    which crl() writes with nothing revoked.
*/
class TestCertificates
{
public:
    TestCertificates();

    // False with the reason in error().
    bool make(const QString &name, const QString &subject, const QString &ca = QString(),
              const QStringList &extensions = QStringList());
    bool crl(const QString &ca = QStringLiteral("ca"));
    bool revoke(const QString &name, const QString &ca = QStringLiteral("ca"));
    QString path(const QString &file) const { return dir.filePath(file); }
    QString error() const { return m_error; }

    // A server's TLS: presents `certificate`, trusts `ca`, and accepts no
    // client without a certificate signed by it.
    std::shared_ptr<apache::thrift::transport::TSSLSocketFactory>
    serverTls(const QString &certificate, const QString &ca = QStringLiteral("ca")) const;
    // A client's TLS with Thrift's factory: presents `certificate` (none
    // when empty), trusts `ca`, and checks the server's name.
    std::shared_ptr<apache::thrift::transport::TSSLSocketFactory>
    clientTls(const QString &certificate, const QString &ca = QStringLiteral("ca")) const;

    // One TLS connection to 127.0.0.1:port made with OpenSSL itself, for
    // what Thrift's sockets do not offer: a chosen protocol version and
    // session resumption.
    struct Probe
    {
        QString error; // empty once the server answered
        bool resumed = false;
        QByteArray reply; // what the server answered `request` with, up to its close
    };
    // Presents `certificate` (none when empty), offers only `version`
    // (TLS1_1_VERSION, ...; 0: what the library allows), resumes *session
    // when it holds one and hands the new one back in it (the caller frees
    // it), sends `request` and reads the reply.
    Probe probe(int port, const QString &certificate, int version, SSL_SESSION **session,
                const QByteArray &request) const;

private:
    bool openssl(const QStringList &arguments);

    QTemporaryDir dir;
    QString m_error;
    int serial = 100;
};

#endif // TESTCERTIFICATES_H
