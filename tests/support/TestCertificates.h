#ifndef TESTCERTIFICATES_H
#define TESTCERTIFICATES_H

#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace apache::thrift::transport {
class TSSLSocketFactory;
}

/*!
    TLS certificates made by openssl at test time in a temporary directory;
    nothing is committed. make() writes name.key, name.pem (certificate
    only) and name-bundle.pem (certificate and key, as the till's client
    certificate file holds them), signed by another certificate made here or
    self-signed.
*/
class TestCertificates
{
public:
    TestCertificates();

    // False with the reason in error().
    bool make(const QString &name, const QString &subject, const QString &ca = QString());
    QString path(const QString &file) const { return dir.filePath(file); }
    QString error() const { return m_error; }

    // A server's TLS: presents `certificate`, trusts `ca`, and accepts no
    // client without a certificate signed by it.
    std::shared_ptr<apache::thrift::transport::TSSLSocketFactory>
    serverTls(const QString &certificate, const QString &ca = QStringLiteral("ca")) const;

private:
    bool openssl(const QStringList &arguments);

    QTemporaryDir dir;
    QString m_error;
    int serial = 100;
};

#endif // TESTCERTIFICATES_H
