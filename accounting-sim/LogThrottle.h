#ifndef LOGTHROTTLE_H
#define LOGTHROTTLE_H

#include <QElapsedTimer>
#include <QHash>
#include <QString>

#include <mutex>

/*!
    At most one log line a second for something that can happen thousands of
    times a second (refused connections, failed accepts, failed handshakes, a
    flood of broken clients): the lines in between are counted, and the next
    line that is written says how many there were. Lines of different kinds
    (a handshake refused for a revoked certificate, or for an old protocol)
    are throttled apart, so one flood does not hide the other; the kinds
    come from a small fixed set of reasons. Thread-safe.
*/
class LogThrottle
{
public:
    enum class Stream { Out, Err };

    explicit LogThrottle(Stream stream);

    void write(const QString &line, const QString &kind = QString());

private:
    struct Kind
    {
        QElapsedTimer sinceLast;
        quint64 held = 0;
    };

    const Stream m_stream;
    std::mutex m_lock;
    QHash<QString, Kind> m_kinds;
};

#endif // LOGTHROTTLE_H
