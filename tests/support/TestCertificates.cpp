#include "TestCertificates.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <thrift/transport/TSSLSocket.h>

TestCertificates::TestCertificates()
{
    if (!dir.isValid())
        m_error = QStringLiteral("cannot make a temporary directory");
}

bool TestCertificates::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(30000)) {
        m_error = QStringLiteral("openssl did not finish");
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QString::fromLocal8Bit(process.readAllStandardError());
        return false;
    }
    return true;
}

bool TestCertificates::make(const QString &name, const QString &subject, const QString &ca)
{
    const QStringList key = {QStringLiteral("-newkey"),
                             QStringLiteral("ec"),
                             QStringLiteral("-pkeyopt"),
                             QStringLiteral("ec_paramgen_curve:prime256v1"),
                             QStringLiteral("-nodes"),
                             QStringLiteral("-keyout"),
                             name + QStringLiteral(".key"),
                             QStringLiteral("-subj"),
                             subject};
    if (ca.isEmpty())
        return openssl(QStringList {QStringLiteral("req"), QStringLiteral("-x509"),
                                    QStringLiteral("-days"), QStringLiteral("2"),
                                    QStringLiteral("-out"), name + QStringLiteral(".pem")}
                       + key);
    if (!openssl(QStringList {QStringLiteral("req"), QStringLiteral("-out"),
                              name + QStringLiteral(".csr")}
                 + key)
        || !openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                     name + QStringLiteral(".csr"), QStringLiteral("-CA"),
                     ca + QStringLiteral(".pem"), QStringLiteral("-CAkey"),
                     ca + QStringLiteral(".key"), QStringLiteral("-set_serial"),
                     QString::number(++serial), QStringLiteral("-days"), QStringLiteral("2"),
                     QStringLiteral("-out"), name + QStringLiteral(".pem")}))
        return false;
    QFile bundle(path(name + QStringLiteral("-bundle.pem")));
    QFile certificate(path(name + QStringLiteral(".pem")));
    QFile privateKey(path(name + QStringLiteral(".key")));
    if (!bundle.open(QIODevice::WriteOnly) || !certificate.open(QIODevice::ReadOnly)
        || !privateKey.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot write %1").arg(bundle.fileName());
        return false;
    }
    bundle.write(certificate.readAll() + privateKey.readAll());
    return true;
}

std::shared_ptr<apache::thrift::transport::TSSLSocketFactory>
TestCertificates::serverTls(const QString &certificate, const QString &ca) const
{
    auto factory = std::make_shared<apache::thrift::transport::TSSLSocketFactory>();
    factory->server(true);
    factory->loadCertificate(path(certificate + QStringLiteral(".pem")).toUtf8().constData());
    factory->loadPrivateKey(path(certificate + QStringLiteral(".key")).toUtf8().constData());
    factory->loadTrustedCertificates(path(ca + QStringLiteral(".pem")).toUtf8().constData());
    factory->authenticate(true); // no client certificate, no connection
    return factory;
}
