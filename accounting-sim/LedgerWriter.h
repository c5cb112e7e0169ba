#ifndef LEDGERWRITER_H
#define LEDGERWRITER_H

#include <QDeadlineTimer>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

/*!
    The one thread that writes a SQLite ledger for the whole process (group
    commit). A worker hands over its write and waits; the writer takes every
    write queued by then, at most SimOptions::maxBatchWrites, runs the batch
    (Ledger: one database transaction, one sync for all of them) and wakes
    their workers. Writers in one process never contend on the file's lock,
    and under load one sync serves many writes instead of each its own.

    A second thread checkpoints every SimOptions::checkpointIntervalMs: the
    writer's own commits never do (a checkpoint copies the log into the file
    and syncs it, which held every write queued behind it), and one that runs
    beside the writer holds up none.

    This class only queues, hands over, wakes and keeps time; what a batch or
    a checkpoint does is their functions' business.
*/
class LedgerWriter
{
public:
    struct Write
    {
        std::function<void()> work;
        QDeadlineTimer deadline;
        // What the write threw, or what became of its batch's commit.
        std::exception_ptr error;
        bool finished = false;
    };
    // Runs on the writer thread; sets each write's error where it failed.
    using Batch = std::function<void(const std::vector<Write *> &)>;

    // `checkpoint` runs on the checkpointing thread and may throw LedgerError,
    // which is logged.
    LedgerWriter(Batch batch, std::function<void()> checkpoint);
    // Finishes what is queued, then stops the thread.
    ~LedgerWriter();

    LedgerWriter(const LedgerWriter &) = delete;
    LedgerWriter &operator=(const LedgerWriter &) = delete;

    // Runs `work` in a batch on the writer thread and waits for the batch to
    // end; rethrows what the work or the batch's commit threw.
    void run(std::function<void()> work, const QDeadlineTimer &deadline);

private:
    void loop();
    void checkpointLoop();

    const Batch m_batch;
    const std::function<void()> m_checkpoint;
    std::mutex m_lock;
    std::condition_variable m_queued;
    std::condition_variable m_finished;
    std::deque<Write *> m_queue;
    bool m_stopping = false;
    std::condition_variable m_stop;
    std::thread m_thread;
    std::thread m_checkpointer;
};

#endif // LEDGERWRITER_H
