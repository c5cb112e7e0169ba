#include "PendingSweeper.h"

#include "BonusLots.h"
#include "Console.h"
#include "Ledger.h"
#include "LedgerError.h"
#include "Metrics.h"

#include <QtGlobal>

#include <algorithm>

PendingSweeper::PendingSweeper(Ledger &ledger, BonusLots &lots, Metrics &metrics,
                               qint64 pendingTtlMs)
    : m_ledger(ledger)
    , m_lots(lots)
    , m_metrics(metrics)
    , m_intervalMs(std::clamp<qint64>(pendingTtlMs / 4, 100, 5000))
    , m_thread([this] { run(); })
{
}

PendingSweeper::~PendingSweeper()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

PendingSweeper::Swept PendingSweeper::sweepNow()
{
    Swept swept;
    const QStringList expired = m_ledger.expireOverdue();
    for (const QString &line : expired)
        Console::out(line);
    swept.rolledBack = expired.size();
    m_metrics.expired(Metrics::Expiry::Pending, swept.rolledBack);
    for (const QString &line : m_lots.sweep()) {
        Console::out(line);
        ++(line.startsWith(QLatin1String("bonus expired ")) ? swept.expired : swept.activated);
    }
    m_metrics.expired(Metrics::Expiry::Bonus, swept.expired);
    swept.forgotten = m_ledger.forgetOldReversals();
    return swept;
}

void PendingSweeper::run()
{
    std::unique_lock<std::mutex> guard(m_lock);
    while (!m_wake.wait_for(guard, std::chrono::milliseconds(m_intervalMs),
                            [this] { return m_stopping; })) {
        guard.unlock();
        try {
            sweepNow();
        } catch (const LedgerError &e) {
            Console::err(QStringLiteral("accounting-sim: cannot sweep the ledger: ")
                         + QString::fromUtf8(e.what()));
        }
        guard.lock();
    }
    Ledger::closeThreadConnection();
}
