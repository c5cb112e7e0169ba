#ifndef PENDINGSWEEPER_H
#define PENDINGSWEEPER_H

#include <QtGlobal>

#include <condition_variable>
#include <mutex>
#include <thread>

class Ledger;

/*!
    Rolls back, on a thread of its own, the transactions left pending longer
    than the time to live (a till that vanished between makePay and commit),
    so their money is not held for ever. Each one is logged. It also forgets
    the reversals remembered more than a day ago. It looks every
    quarter of the time to live, at least every 5 s and at most 10 times a
    second. Several servers on one ledger may all sweep: the ledger lets
    only one of them roll each transaction back.
*/
class PendingSweeper
{
public:
    PendingSweeper(Ledger &ledger, qint64 pendingTtlMs);
    ~PendingSweeper();

private:
    void run();

    Ledger &m_ledger;
    const qint64 m_intervalMs;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

#endif // PENDINGSWEEPER_H
