#include "ServerIdentity.h"

#include <thrift/transport/TSSLSocket.h>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

namespace {

bool isAddress(const QByteArray &text)
{
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.constData(), buffer) == 1
        || inet_pton(AF_INET6, text.constData(), buffer) == 1;
}

} // namespace

using apache::thrift::transport::TSSLException;

ServerIdentity::ServerIdentity(const QString &serverName)
    : name(serverName)
{
}

void ServerIdentity::applyTo(SSL_CTX *context) const
{
    X509_VERIFY_PARAM *param = SSL_CTX_get0_param(context);
    // libssl picks this purpose itself when nothing is set; set here so the
    // rule does not rest on a default.
    if (X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER) != 1)
        throw TSSLException("cannot require a server certificate purpose");
    if (name.isEmpty())
        return;
    const QByteArray bytes = name.toUtf8();
    const bool address = isAddress(bytes);
    // A name in the subject's CN alone does not count: modern clients look
    // at subjectAltName only, and so does the accounting server's CA guide.
    X509_VERIFY_PARAM_set_hostflags(
        param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int set = address
        ? X509_VERIFY_PARAM_set1_ip_asc(param, bytes.constData())
        : X509_VERIFY_PARAM_set1_host(param, bytes.constData(), size_t(bytes.size()));
    if (set != 1)
        throw TSSLException("cannot check the server name " + bytes.toStdString());
}
