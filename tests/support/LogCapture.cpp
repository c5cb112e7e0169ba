#include "LogCapture.h"

#include <QMutex>
#include <QMutexLocker>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>
#include <log4cxx/spi/loggingevent.h>

struct CapturedLine
{
    QString level;
    QString logger;
    QString message;
};

class MemoryAppender : public log4cxx::AppenderSkeleton
{
public:
    void append(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &) override
    {
        CapturedLine line;
        line.level = QString::fromStdString(event->getLevel()->toString());
        line.logger = QString::fromUtf8(event->getLoggerName().c_str());
        line.message = QString::fromUtf8(event->getRenderedMessage().c_str());
        QMutexLocker lock(&mutex);
        captured.append(line);
    }
    void close() override {}
    bool requiresLayout() const override { return false; }

    QMutex mutex;
    QList<CapturedLine> captured;
};

LogCapture::LogCapture()
    : appender(std::make_shared<MemoryAppender>())
{
    auto root = log4cxx::Logger::getRootLogger();
    root->setLevel(log4cxx::Level::getDebug());
    root->addAppender(appender);
}

LogCapture::~LogCapture()
{
    log4cxx::Logger::getRootLogger()->removeAppender(appender);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&appender->mutex);
    QStringList result;
    for (const CapturedLine &line : appender->captured)
        result << line.level + QLatin1Char(' ') + line.logger + QLatin1Char(' ') + line.message;
    return result;
}

QStringList LogCapture::messages(const QString &logger, const QString &level) const
{
    QMutexLocker lock(&appender->mutex);
    QStringList result;
    for (const CapturedLine &line : appender->captured) {
        if ((logger.isEmpty() || line.logger == logger) && (level.isEmpty() || line.level == level))
            result << line.message;
    }
    return result;
}

bool LogCapture::contains(const QString &message) const
{
    return messages().contains(message);
}

void LogCapture::clear()
{
    QMutexLocker lock(&appender->mutex);
    appender->captured.clear();
}
