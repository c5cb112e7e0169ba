#include "TlsContext.h"

#include "TlsError.h"

#include <QStringList>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

// Sessions remembered for TLS 1.2 resumption: a shop's tills many times over.
constexpr long sessionCacheSize = 4096;
// How long a session or ticket may be resumed.
constexpr long sessionSeconds = 3600;
const unsigned char sessionIdContext[] = "accounting-sim";

const QString terminalPrefix = QStringLiteral("urn:terminal:");
const QString adminPrefix = QStringLiteral("urn:admin:");

// OpenSSL's latest error, emptied from its queue.
std::string opensslReason()
{
    const unsigned long code = ERR_peek_last_error();
    std::string reason = "unknown reason";
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        reason = text;
    }
    ERR_clear_error();
    return reason;
}

[[noreturn]] void fail(const QString &what, const QString &file)
{
    throw TlsError(QStringLiteral("%1 %2: ").arg(what, file).toStdString() + opensslReason());
}

QString subjectOf(X509 *certificate)
{
    char text[512];
    X509_NAME_oneline(X509_get_subject_name(certificate), text, sizeof text);
    return QString::fromUtf8(text);
}

int loadRevocations(SSL_CTX *context, const QString &file)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> input(
        BIO_new_file(file.toLocal8Bit().constData(), "r"), BIO_free);
    if (!input)
        fail(QStringLiteral("cannot read the revocation list"), file);
    X509_STORE *store = SSL_CTX_get_cert_store(context);
    int count = 0;
    while (X509_CRL *list = PEM_read_bio_X509_CRL(input.get(), nullptr, nullptr, nullptr)) {
        const int added = X509_STORE_add_crl(store, list);
        X509_CRL_free(list);
        if (added != 1)
            fail(QStringLiteral("cannot use the revocation list"), file);
        ++count;
    }
    // The read that found no more leaves its complaint behind.
    ERR_clear_error();
    return count;
}

} // namespace

TlsContext::TlsContext(const SimOptions::Tls &files)
    : m_context(SSL_CTX_new(TLS_server_method()))
{
    if (!m_context)
        throw TlsError("cannot make a TLS context: " + opensslReason());
    try {
        SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION);
        // A client that hangs up without a goodbye has ended, not failed: a
        // request is whole by its own structure, so nothing is cut short unseen.
        SSL_CTX_set_options(m_context,
                            SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE
                                | SSL_OP_IGNORE_UNEXPECTED_EOF);
        // Written from the event thread without blocking; buffers of idle
        // connections let go.
        SSL_CTX_set_mode(m_context,
                         SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER
                             | SSL_MODE_RELEASE_BUFFERS);

        if (SSL_CTX_use_certificate_chain_file(m_context,
                                               files.certificate.toLocal8Bit().constData())
            != 1)
            fail(QStringLiteral("cannot read the certificate"), files.certificate);
        if (SSL_CTX_use_PrivateKey_file(m_context, files.key.toLocal8Bit().constData(),
                                        SSL_FILETYPE_PEM)
            != 1)
            fail(QStringLiteral("cannot read the private key"), files.key);
        if (SSL_CTX_check_private_key(m_context) != 1)
            fail(QStringLiteral("the private key does not belong to the certificate"), files.key);

        SSL_CTX_set_session_cache_mode(m_context, SSL_SESS_CACHE_SERVER);
        SSL_CTX_sess_set_cache_size(m_context, sessionCacheSize);
        SSL_CTX_set_timeout(m_context, sessionSeconds);
        // Without it OpenSSL refuses to resume a session whose client was
        // verified.
        SSL_CTX_set_session_id_context(m_context, sessionIdContext, sizeof sessionIdContext - 1);

        if (!files.ca.isEmpty()) {
            const QByteArray ca = files.ca.toLocal8Bit();
            if (SSL_CTX_load_verify_locations(m_context, ca.constData(), nullptr) != 1)
                fail(QStringLiteral("cannot read the CA certificates"), files.ca);
            STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(ca.constData());
            if (!names)
                fail(QStringLiteral("no CA certificate in"), files.ca);
            SSL_CTX_set_client_CA_list(m_context, names);
            SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                               nullptr);
        }
        if (!files.crl.isEmpty()) {
            if (loadRevocations(m_context, files.crl) == 0)
                throw TlsError(
                    QStringLiteral("no revocation list in %1").arg(files.crl).toStdString());
            // The till's certificate against its CA's list. A list past its
            // next update fails every check: refresh it, then SIGHUP.
            X509_STORE_set_flags(SSL_CTX_get_cert_store(m_context), X509_V_FLAG_CRL_CHECK);
        }
    } catch (const TlsError &) {
        SSL_CTX_free(m_context);
        throw;
    }
}

TlsContext::~TlsContext()
{
    // Sessions still open hold their own reference to the context.
    SSL_CTX_free(m_context);
}

SSL *TlsContext::newSession(int descriptor) const
{
    SSL *ssl = SSL_new(m_context);
    if (!ssl)
        return nullptr;
    if (SSL_set_fd(ssl, descriptor) != 1) {
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_accept_state(ssl);
    return ssl;
}

void TlsContext::identify(SSL *ssl, Caller &caller)
{
    caller.proof = Caller::Proof::None;
    caller.name.clear();
    X509 *certificate = SSL_get0_peer_certificate(ssl);
    if (!certificate)
        return;

    QStringList terminals;
    QStringList admins;
    auto *names = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, i);
        if (name->type != GEN_URI)
            continue;
        const ASN1_IA5STRING *uri = name->d.uniformResourceIdentifier;
        // An id outside ASCII travels percent-encoded in its UTF-8 bytes.
        const QString text = QUrl::fromPercentEncoding(QByteArray(
            reinterpret_cast<const char *>(ASN1_STRING_get0_data(uri)), ASN1_STRING_length(uri)));
        if (text.startsWith(terminalPrefix))
            terminals << text.mid(terminalPrefix.size());
        else if (text.startsWith(adminPrefix))
            admins << text.mid(adminPrefix.size());
    }
    GENERAL_NAMES_free(names);

    // One name, of one kind, on a certificate made for clients: anything
    // less plain proves nothing.
    const bool clientAuth = (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE)
        && (X509_get_extended_key_usage(certificate) & XKU_SSL_CLIENT);
    if (clientAuth && terminals.size() == 1 && admins.isEmpty() && !terminals.first().isEmpty()) {
        caller.proof = Caller::Proof::Terminal;
        caller.name = terminals.first();
    } else if (clientAuth && admins.size() == 1 && terminals.isEmpty()
               && !admins.first().isEmpty()) {
        caller.proof = Caller::Proof::Admin;
        caller.name = admins.first();
    } else {
        caller.proof = Caller::Proof::Other;
        caller.name = subjectOf(certificate);
    }
}

QString TlsContext::describeHandshake(SSL *ssl, const Caller &caller)
{
    QString client;
    switch (caller.proof) {
    case Caller::Proof::None:
        client = QStringLiteral("none");
        break;
    case Caller::Proof::Terminal:
        client = QStringLiteral("terminal:") + caller.name;
        break;
    case Caller::Proof::Admin:
        client = QStringLiteral("admin:") + caller.name;
        break;
    case Caller::Proof::Other:
        client = QStringLiteral("other:") + caller.name;
        break;
    }
    return QStringLiteral("session=%1 protocol=%2 client=%3")
        .arg(SSL_session_reused(ssl) ? QStringLiteral("resumed") : QStringLiteral("full"),
             QString::fromLatin1(SSL_get_version(ssl)), client);
}

QString TlsContext::handshakeFailure(SSL *ssl)
{
    const long verified = SSL_get_verify_result(ssl);
    if (verified != X509_V_OK) {
        ERR_clear_error();
        return QString::fromLatin1(X509_verify_cert_error_string(verified));
    }
    const unsigned long code = ERR_peek_last_error();
    const char *reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? QString::fromLatin1(reason) : QStringLiteral("the connection ended");
}

bool TlsContext::stillTrusted(SSL *ssl, QString &why) const
{
    if (SSL_CTX_get_verify_mode(m_context) == SSL_VERIFY_NONE)
        return true;
    X509 *certificate = SSL_get0_peer_certificate(ssl);
    if (!certificate) {
        why = QStringLiteral("no certificate");
        return false;
    }
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> check(X509_STORE_CTX_new(),
                                                                          X509_STORE_CTX_free);
    // The same check a handshake makes now: this context's CAs and list,
    // for a client.
    if (!check
        || X509_STORE_CTX_init(check.get(), SSL_CTX_get_cert_store(m_context), certificate,
                               SSL_get_peer_cert_chain(ssl))
            != 1
        || X509_STORE_CTX_set_default(check.get(), "ssl_client") != 1) {
        why = QString::fromStdString(opensslReason());
        return false;
    }
    const bool trusted = X509_verify_cert(check.get()) == 1;
    if (!trusted)
        why = QString::fromLatin1(
            X509_verify_cert_error_string(X509_STORE_CTX_get_error(check.get())));
    ERR_clear_error();
    return trusted;
}
