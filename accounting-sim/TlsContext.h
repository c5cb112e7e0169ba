#ifndef TLSCONTEXT_H
#define TLSCONTEXT_H

#include "Caller.h"
#include "SimOptions.h"

#include <QString>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

/*!
    The server's TLS, read from its files once: TLS 1.2 and later only; with
    a CA, a client certificate it signed is required, and with a CRL, one it
    revokes is refused at the handshake.

    Sessions are resumed: TLS 1.3 tickets, and TLS 1.2 session ids from the
    server's cache (client authentication needs a session id context for
    that). A resumed session skips the certificate check, so a reload makes
    a new context: its sessions and ticket keys are new, and nothing from
    before a revocation is resumed.

    Used by the server's event thread only; loading one is safe on any
    thread.
*/
class TlsContext
{
public:
    // Throws TlsError with the file and the reason.
    explicit TlsContext(const SimOptions::Tls &files);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // A server session on an accepted socket, or nullptr when OpenSSL has
    // no memory for one.
    SSL *newSession(int descriptor) const;

    // What the certificate of a finished handshake proves.
    static void identify(SSL *ssl, Caller &caller);
    // How a finished handshake is shown in the log: "full" or "resumed", the
    // protocol, and the client as identify() sees it.
    static QString describeHandshake(SSL *ssl, const Caller &caller);
    // Why a handshake failed: the certificate check's reason, or OpenSSL's.
    static QString handshakeFailure(SSL *ssl);

    // Whether this context would accept the certificate a connection made
    // under an older one showed; the reason in `why` if not.
    bool stillTrusted(SSL *ssl, QString &why) const;

private:
    SSL_CTX *m_context = nullptr;
};

#endif // TLSCONTEXT_H
