#include "PendingSweeper.h"

#include "Console.h"
#include "Ledger.h"
#include "LedgerError.h"

#include <QtGlobal>

#include <algorithm>

PendingSweeper::PendingSweeper(Ledger &ledger, qint64 pendingTtlMs)
    : m_ledger(ledger)
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

void PendingSweeper::run()
{
    std::unique_lock<std::mutex> guard(m_lock);
    while (!m_wake.wait_for(guard, std::chrono::milliseconds(m_intervalMs),
                            [this] { return m_stopping; })) {
        guard.unlock();
        try {
            for (const QString &line : m_ledger.expireOverdue())
                Console::out(line);
            m_ledger.forgetOldReversals();
        } catch (const LedgerError &e) {
            Console::err(QStringLiteral("accounting-sim: cannot sweep the ledger: ")
                         + QString::fromUtf8(e.what()));
        }
        guard.lock();
    }
    Ledger::closeThreadConnection();
}
