#ifndef TILLLOCK_H
#define TILLLOCK_H

#include <QString>

/*!
    An exclusive flock() on a lock file of the till tree, held from
    acquire() until release() or destruction. The file stays open between
    the two, so taking the lock again costs one call. Two processes on one till tree
    (two hosts, or a host and `payment-host recover`) take turns: one run's
    status, print file and journal records are never mixed with another's.
    The lock goes with the process, so a killed run never leaves it behind.
*/
class TillLock
{
public:
    explicit TillLock(const QString &path);
    ~TillLock();

    TillLock(const TillLock &) = delete;
    TillLock &operator=(const TillLock &) = delete;

    // Waits at most timeoutMs for another holder; false with the reason in
    // errorString() when the lock could not be had.
    bool acquire(int timeoutMs);
    void release();
    QString errorString() const { return m_error; }

private:
    QString m_path;
    int m_fd = -1;
    bool m_held = false;
    QString m_error;
};

#endif // TILLLOCK_H
