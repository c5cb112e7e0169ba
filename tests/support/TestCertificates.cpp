#include "TestCertificates.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <thrift/transport/TSSLSocket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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

bool TestCertificates::make(const QString &name, const QString &subject, const QString &ca,
                            const QStringList &extensions)
{
    QStringList key = {QStringLiteral("-newkey"),
                       QStringLiteral("ec"),
                       QStringLiteral("-pkeyopt"),
                       QStringLiteral("ec_paramgen_curve:prime256v1"),
                       QStringLiteral("-nodes"),
                       QStringLiteral("-keyout"),
                       name + QStringLiteral(".key"),
                       QStringLiteral("-subj"),
                       subject};
    for (const QString &extension : extensions)
        key << QStringLiteral("-addext") << extension;
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
                     QStringLiteral("-copy_extensions"), QStringLiteral("copy"),
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

bool TestCertificates::crl(const QString &ca)
{
    // openssl ca keeps what it revoked in a database beside the CA.
    QFile config(path(ca + QStringLiteral("-ca.cnf")));
    if (!config.exists()) {
        QFile index(path(ca + QStringLiteral("-index.txt")));
        QFile number(path(ca + QStringLiteral("-crlnumber")));
        if (!config.open(QIODevice::WriteOnly) || !index.open(QIODevice::WriteOnly)
            || !number.open(QIODevice::WriteOnly)) {
            m_error = QStringLiteral("cannot write the files of %1's revocation list").arg(ca);
            return false;
        }
        config.write(QStringLiteral("[ca]\ndefault_ca = list\n[list]\ndatabase = %1-index.txt\n"
                                    "crlnumber = %1-crlnumber\ndefault_md = sha256\n"
                                    "default_crl_days = 2\n")
                         .arg(ca)
                         .toUtf8());
        number.write("1000\n");
        // Written out before openssl reads them.
        config.close();
        number.close();
    }
    return openssl({QStringLiteral("ca"), QStringLiteral("-config"), ca + QStringLiteral("-ca.cnf"),
                    QStringLiteral("-keyfile"), ca + QStringLiteral(".key"),
                    QStringLiteral("-cert"), ca + QStringLiteral(".pem"), QStringLiteral("-gencrl"),
                    QStringLiteral("-out"), ca + QStringLiteral("-crl.pem")});
}

bool TestCertificates::revoke(const QString &name, const QString &ca)
{
    if (!QFile::exists(path(ca + QStringLiteral("-ca.cnf"))) && !crl(ca))
        return false;
    return openssl({QStringLiteral("ca"), QStringLiteral("-config"), ca + QStringLiteral("-ca.cnf"),
                    QStringLiteral("-keyfile"), ca + QStringLiteral(".key"),
                    QStringLiteral("-cert"), ca + QStringLiteral(".pem"), QStringLiteral("-revoke"),
                    name + QStringLiteral(".pem")})
        && crl(ca);
}

std::shared_ptr<apache::thrift::transport::TSSLSocketFactory>
TestCertificates::clientTls(const QString &certificate, const QString &ca) const
{
    auto factory = std::make_shared<apache::thrift::transport::TSSLSocketFactory>();
    if (!certificate.isEmpty()) {
        factory->loadCertificate(path(certificate + QStringLiteral(".pem")).toUtf8().constData());
        factory->loadPrivateKey(path(certificate + QStringLiteral(".key")).toUtf8().constData());
    }
    factory->loadTrustedCertificates(path(ca + QStringLiteral(".pem")).toUtf8().constData());
    factory->authenticate(true);
    return factory;
}

TestCertificates::Probe TestCertificates::probe(int port, const QString &certificate, int version,
                                                SSL_SESSION **session,
                                                const QByteArray &request) const
{
    Probe probe;
    const auto reason = [] {
        char text[256] = "the connection ended";
        if (const unsigned long code = ERR_get_error())
            ERR_error_string_n(code, text, sizeof text);
        ERR_clear_error();
        return QString::fromLatin1(text);
    };
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                              SSL_CTX_free);
    if (version != 0) {
        // Old versions are off by the system's policy; a probe must be able
        // to offer one to see the server refuse it.
        SSL_CTX_set_security_level(context.get(), 0);
        SSL_CTX_set_cipher_list(context.get(), "DEFAULT:@SECLEVEL=0");
        SSL_CTX_set_min_proto_version(context.get(), version);
        SSL_CTX_set_max_proto_version(context.get(), version);
    }
    // TLS 1.2 resumes by session id, as a till without tickets would.
    if (version == TLS1_2_VERSION)
        SSL_CTX_set_options(context.get(), SSL_OP_NO_TICKET);
    SSL_CTX_load_verify_locations(context.get(),
                                  path(QStringLiteral("ca.pem")).toUtf8().constData(), nullptr);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    if (!certificate.isEmpty()
        && (SSL_CTX_use_certificate_file(
                context.get(), path(certificate + QStringLiteral(".pem")).toUtf8().constData(),
                SSL_FILETYPE_PEM)
                != 1
            || SSL_CTX_use_PrivateKey_file(
                   context.get(), path(certificate + QStringLiteral(".key")).toUtf8().constData(),
                   SSL_FILETYPE_PEM)
                != 1)) {
        probe.error = reason();
        return probe;
    }

    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit {5, 0};
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
    if (::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        probe.error = QStringLiteral("cannot connect");
        ::close(descriptor);
        return probe;
    }
    SSL_set_fd(ssl.get(), descriptor);
    if (session && *session)
        SSL_set_session(ssl.get(), *session);
    if (SSL_connect(ssl.get()) != 1) {
        probe.error = reason();
        ::close(descriptor);
        return probe;
    }
    probe.resumed = SSL_session_reused(ssl.get());
    SSL_write(ssl.get(), request.constData(), int(request.size()));
    // Reading the reply also takes in the tickets a TLS 1.3 server sends.
    char buffer[4096];
    int got = 0;
    while ((got = SSL_read(ssl.get(), buffer, sizeof buffer)) > 0) {
        probe.reply.append(buffer, got);
        if (SSL_pending(ssl.get()) == 0)
            break;
    }
    // Under TLS 1.3 a client learns only now that its certificate was refused.
    if (probe.reply.isEmpty())
        probe.error = reason();
    ERR_clear_error();
    if (session) {
        if (*session)
            SSL_SESSION_free(*session);
        *session = SSL_get1_session(ssl.get());
    }
    SSL_shutdown(ssl.get());
    ::close(descriptor);
    return probe;
}
