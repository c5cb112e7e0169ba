#include "TillLock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

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
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TillLock::acquire(int timeoutMs)
{
    if (m_held)
        return true;
    // The descriptor is kept from one run to the next; only the lock goes.
    if (m_fd < 0) {
        const QByteArray name = QFile::encodeName(m_path);
        m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
        // A directory that is not there yet is made; a lock file left in a
        // directory that became read-only still locks.
        if (m_fd < 0 && errno == ENOENT && QDir().mkpath(QFileInfo(m_path).absolutePath()))
            m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
        if (m_fd < 0 && (errno == EACCES || errno == EROFS))
            m_fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) {
            m_error = QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
    }

    // Polled rather than blocking: flock() itself has no time limit.
    QElapsedTimer clock;
    clock.start();
    long pauseNs = 1000000;
    for (;;) {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            m_held = true;
            return true;
        }
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
    // A file that cannot be locked now may be another one next time.
    ::close(m_fd);
    m_fd = -1;
    return false;
}

void TillLock::release()
{
    if (m_held)
        ::flock(m_fd, LOCK_UN);
    m_held = false;
}
