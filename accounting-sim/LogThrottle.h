#ifndef LOGTHROTTLE_H
#define LOGTHROTTLE_H

#include <QElapsedTimer>
#include <QString>

#include <mutex>

/*!
    At most one log line a second for something that can happen thousands of
    times a second (refused connections, failed accepts, a flood of broken
    clients): the lines in between are counted, and the next line that is
    written says how many there were. Thread-safe.
*/
class LogThrottle
{
public:
    enum class Stream { Out, Err };

    explicit LogThrottle(Stream stream);

    void write(const QString &line);

private:
    const Stream m_stream;
    std::mutex m_lock;
    QElapsedTimer m_sinceLast;
    quint64 m_held = 0;
};

#endif // LOGTHROTTLE_H
