#include "TillLock.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TillLock::TillLock(const QString &path)
    : m_path(path)
{
}

TillLock::~TillLock()
{
    release();
}

bool TillLock::acquire(int timeoutMs)
{
    if (m_fd >= 0)
        return true;
    const QByteArray name = QFile::encodeName(m_path);
    m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    // A lock file left in a directory that became read-only still locks.
    if (m_fd < 0 && (errno == EACCES || errno == EROFS))
        m_fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        m_error = QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }

    // Polled rather than blocking: flock() itself has no time limit.
    QElapsedTimer clock;
    clock.start();
    long pauseNs = 1000000;
    for (;;) {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        if (clock.elapsed() >= timeoutMs) {
            errno = EWOULDBLOCK;
            break;
        }
        const timespec pause {0, pauseNs};
        nanosleep(&pause, nullptr);
        pauseNs = qMin(pauseNs * 2, 20000000L);
    }
    m_error = QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(strerror(errno)));
    ::close(m_fd);
    m_fd = -1;
    return false;
}

void TillLock::release()
{
    if (m_fd < 0)
        return;
    // Closing the descriptor drops the lock.
    ::close(m_fd);
    m_fd = -1;
}
