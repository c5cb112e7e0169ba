#include "TlsSessionCache.h"

#include "Logger.h"

#include <QHash>

#include <atomic>
#include <mutex>

#include <openssl/ssl.h>

namespace {

std::mutex lock;
std::atomic<int> full {0};
std::atomic<int> resumed {0};

// Never destroyed: freeing sessions after OpenSSL's clean-up at exit would
// touch freed state.
QHash<QString, SSL_SESSION *> &sessions()
{
    static auto *kept = new QHash<QString, SSL_SESSION *>;
    return *kept;
}

} // namespace

bool TlsSessionCache::offer(const QString &key, SSL *ssl)
{
    std::lock_guard<std::mutex> guard(lock);
    SSL_SESSION *session = sessions().value(key);
    // SSL_set_session takes its own reference.
    return session && SSL_set_session(ssl, session) == 1;
}

void TlsSessionCache::forget(const QString &key)
{
    SSL_SESSION *session = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        session = sessions().take(key);
    }
    if (session)
        SSL_SESSION_free(session);
}

void TlsSessionCache::remember(const QString &key, SSL *ssl)
{
    const bool reused = SSL_session_reused(ssl) == 1;
    const int fullCount = reused ? int(full) : ++full;
    const int resumedCount = reused ? ++resumed : int(resumed);
    Logger("thrifttransportprovider")
        .debug(QStringLiteral("Рукопожатие TLS: %1 (всего полных %2, возобновлённых %3)")
                   .arg(reused ? QStringLiteral("возобновлённое") : QStringLiteral("полное"))
                   .arg(fullCount)
                   .arg(resumedCount));

    SSL_SESSION *session = SSL_get1_session(ssl);
    if (session && !SSL_SESSION_is_resumable(session)) {
        SSL_SESSION_free(session);
        session = nullptr;
    }
    if (!session)
        return;
    SSL_SESSION *old = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        old = sessions().value(key);
        sessions().insert(key, session);
    }
    if (old)
        SSL_SESSION_free(old);
}

int TlsSessionCache::fullHandshakes()
{
    return full;
}

int TlsSessionCache::resumedHandshakes()
{
    return resumed;
}
