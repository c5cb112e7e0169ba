#include "LedgerWriter.h"

#include "Console.h"
#include "LedgerError.h"
#include "SimOptions.h"

#include <chrono>
#include <utility>

LedgerWriter::LedgerWriter(Batch batch, std::function<void()> checkpoint)
    : m_batch(std::move(batch))
    , m_checkpoint(std::move(checkpoint))
    , m_thread([this] { loop(); })
    , m_checkpointer([this] { checkpointLoop(); })
{
}

LedgerWriter::~LedgerWriter()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    m_queued.notify_all();
    m_stop.notify_all();
    m_thread.join();
    m_checkpointer.join();
}

void LedgerWriter::run(std::function<void()> work, const QDeadlineTimer &deadline)
{
    Write write;
    write.work = std::move(work);
    write.deadline = deadline;
    std::unique_lock<std::mutex> guard(m_lock);
    m_queue.push_back(&write);
    m_queued.notify_one();
    // The batch always ends: each write is bounded by its deadline, the
    // batch's wait for the file by the earliest of them.
    m_finished.wait(guard, [&] { return write.finished; });
    guard.unlock();
    if (write.error)
        std::rethrow_exception(write.error);
}

void LedgerWriter::loop()
{
    // An empty batch first: the writer's connection is open before the first
    // write, with the process's other files, not in the middle of its life.
    m_batch({});
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_queued.wait(guard, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        std::vector<Write *> batch;
        while (!m_queue.empty() && batch.size() < size_t(SimOptions::maxBatchWrites)) {
            batch.push_back(m_queue.front());
            m_queue.pop_front();
        }
        // The workers queue the next batch meanwhile.
        guard.unlock();
        m_batch(batch);
        guard.lock();
        for (Write *write : batch)
            write->finished = true;
        m_finished.notify_all();
    }
}

void LedgerWriter::checkpointLoop()
{
    std::unique_lock<std::mutex> guard(m_lock);
    // The first at once, which opens this thread's connection (see loop()).
    do {
        guard.unlock();
        try {
            m_checkpoint();
        } catch (const LedgerError &e) {
            // The next one copies what this one could not.
            Console::err(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
        }
        guard.lock();
    } while (!m_stop.wait_for(guard, std::chrono::milliseconds(SimOptions::checkpointIntervalMs),
                              [this] { return m_stopping; }));
}
