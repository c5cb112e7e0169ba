#ifndef TLSSESSIONCACHE_H
#define TLSSESSIONCACHE_H

#include <QString>

typedef struct ssl_st SSL;

/*!
    The TLS sessions the process may resume, one for each endpoint and TLS
    configuration (the key), and the count of handshakes made, full and
    resumed. A new connection offers the session the last one to the same
    endpoint left (a TLS 1.3 ticket or a TLS 1.2 session id), so that it
    costs the server no signature and the till no certificate check; the
    server decides whether to take it. Thread-safe; the sessions live as
    long as the process.
*/
class TlsSessionCache
{
public:
    // Before the handshake: offers the session kept for the key, if any;
    // true when one was offered.
    static bool offer(const QString &key, SSL *ssl);
    // A session the server would not take is not offered again.
    static void forget(const QString &key);
    // After the first bytes of a reply were read, when TLS 1.3 tickets have
    // arrived: keeps the connection's session for the next one, and counts
    // its handshake.
    static void remember(const QString &key, SSL *ssl);

    static int fullHandshakes();
    static int resumedHandshakes();
};

#endif // TLSSESSIONCACHE_H
