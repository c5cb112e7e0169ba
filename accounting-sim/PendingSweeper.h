#ifndef PENDINGSWEEPER_H
#define PENDINGSWEEPER_H

#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

class BonusLots;
class Ledger;
class Metrics;

/*!
    Rolls back, on a thread of its own, the transactions left pending longer
    than the time to live (a till that vanished between makePay and commit),
    so their money is not held for ever; activates and expires dated bonus
    that is due. Each one is logged and counted. It also forgets the
    reversals remembered more than a day ago. It looks every quarter of the
    time to live, at least every 5 s and at most 10 times a second; an
    operator may ask for a sweep at once (sweepNow()). Several servers on one
    ledger may all sweep: the ledger lets only one of them roll each
    transaction back, or move each lot.
*/
class PendingSweeper
{
public:
    // What one sweep did.
    struct Swept
    {
        int rolledBack = 0;
        int activated = 0;
        int expired = 0;
        int forgotten = 0;
    };

    PendingSweeper(Ledger &ledger, BonusLots &lots, Metrics &metrics, qint64 pendingTtlMs);
    ~PendingSweeper();

    // One sweep on the calling thread. Throws LedgerError.
    Swept sweepNow();

private:
    void run();

    Ledger &m_ledger;
    BonusLots &m_lots;
    Metrics &m_metrics;
    const qint64 m_intervalMs;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

#endif // PENDINGSWEEPER_H
