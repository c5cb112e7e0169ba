#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QString>
#include <QStringList>

#include <memory>

class MemoryAppender;

/*!
    Collects every log line of the process while it lives, as
    "LEVEL logger message" (LEVEL is DEBUG, INFO or ERROR). Attached to the
    root logger, so the plug-in sees a configured host and leaves logging
    alone.
*/
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    // Only the messages, in order, of one logger at one level ("" = any).
    QStringList messages(const QString &logger = QString(), const QString &level = QString()) const;
    bool contains(const QString &message) const;
    void clear();

private:
    std::shared_ptr<MemoryAppender> appender;
};

#endif // LOGCAPTURE_H
