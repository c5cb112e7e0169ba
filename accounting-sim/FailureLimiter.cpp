#include "FailureLimiter.h"

#include "Console.h"
#include "SimOptions.h"

FailureLimiter::FailureLimiter(int limit, std::chrono::milliseconds window)
    : m_limit(limit)
    , m_window(window)
{
}

QString FailureLimiter::key(const QString &terminal, const QString &peer)
{
    // A peer address holds no space; the terminal id may hold anything.
    return peer + QLatin1Char(' ') + terminal;
}

bool FailureLimiter::allows(const QString &terminal, const QString &peer, Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_entries.constFind(key(terminal, peer));
    return found == m_entries.constEnd() || found->heldUntil <= now;
}

void FailureLimiter::failed(const QString &terminal, const QString &peer, const QString &id,
                            Clock::time_point now)
{
    bool held = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        forgetExpired(now);
        const QString pair = key(terminal, peer);
        auto found = m_entries.find(pair);
        if (found == m_entries.end()) {
            if (m_entries.size() >= SimOptions::maxLimiterEntries)
                return;
            found = m_entries.insert(pair, Entry {now, {}, {}});
        }
        Entry &entry = *found;
        if (entry.heldUntil > now)
            return;
        if (now - entry.windowStart >= m_window) {
            entry.windowStart = now;
            entry.ids.clear();
        }
        entry.ids.insert(id);
        if (entry.ids.size() >= m_limit) {
            entry.heldUntil = now + m_window;
            entry.windowStart = entry.heldUntil;
            entry.ids.clear();
            held = true;
        }
    }
    if (held)
        Console::out(QStringLiteral("limited terminal=%1 peer=%2: %3 commits or rollbacks matched"
                                    " nothing within %4 s; refusing its commits and rollbacks"
                                    " for %4 s")
                         .arg(terminal, peer, QString::number(m_limit),
                              QString::number(m_window.count() / 1000)));
}

void FailureLimiter::forgetExpired(Clock::time_point now)
{
    // A sweep a second at most: each entry is dropped once its window and
    // its hold have both passed. A pair new while the table is full is not
    // followed until a sweep makes room.
    if (now - m_lastSweep < std::chrono::seconds(1))
        return;
    m_lastSweep = now;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->heldUntil <= now && now - it->windowStart >= m_window)
            it = m_entries.erase(it);
        else
            ++it;
    }
}
