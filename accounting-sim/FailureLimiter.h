#ifndef FAILURELIMITER_H
#define FAILURELIMITER_H

#include <QHash>
#include <QSet>
#include <QString>

#include <chrono>
#include <mutex>

/*!
    Holds back a terminal that keeps failing to find transactions from one
    address: guessing a till's own transaction id takes thousands of
    rollbacks, a till's own retries never more than a few.

    Each failed commit or rollback (one that matched no transaction) of a
    (terminal, peer address) pair counts once per id within the window: a
    till that asks again for the same id (a commit asked up to 4 times, a
    reversal retried after 30 s, 2 min, 5 min, 15 min) counts once. When
    `limit` distinct ids have failed within `window`, the pair's commits and
    rollbacks are refused for `window`, and that is logged once. Then it
    starts afresh. Thread-safe; at most SimOptions::maxLimiterEntries pairs
    are followed at once.
*/
class FailureLimiter
{
public:
    using Clock = std::chrono::steady_clock;

    FailureLimiter(int limit, std::chrono::milliseconds window);

    // False while the pair is held back.
    bool allows(const QString &terminal, const QString &peer, Clock::time_point now = Clock::now());
    // Counts a commit or rollback of `id` that matched nothing.
    void failed(const QString &terminal, const QString &peer, const QString &id,
                Clock::time_point now = Clock::now());

private:
    struct Entry
    {
        Clock::time_point windowStart;
        QSet<QString> ids;
        Clock::time_point heldUntil;
    };

    static QString key(const QString &terminal, const QString &peer);
    void forgetExpired(Clock::time_point now);

    const int m_limit;
    const std::chrono::milliseconds m_window;
    std::mutex m_lock;
    QHash<QString, Entry> m_entries;
    Clock::time_point m_lastSweep;
};

#endif // FAILURELIMITER_H
