#include "Logger.h"

#include "CardNumberMask.h"
#include "LogSetup.h"

#include <log4cxx/helpers/pool.h>
#include <log4cxx/spi/location/locationinfo.h>
#include <log4cxx/spi/loggingevent.h>

#include <apr_pools.h>

Logger::Logger(const char *name)
{
    LogSetup::ensureConfigured();
    m_logger = log4cxx::Logger::getLogger(name);
}

static_assert(LOG4CXX_LOGCHAR_IS_UTF8, "the messages below are handed over as UTF-8");

// log4cxx keeps its texts as UTF-8 (LogString is a std::string here), so
// the message goes in as it is, with no conversion through the locale and no
// transcoding character by character.
void Logger::debug(const QString &message) const
{
    if (m_logger->isDebugEnabled())
        log(log4cxx::Level::getDebug(), message);
}

void Logger::info(const QString &message) const
{
    if (m_logger->isInfoEnabled())
        log(log4cxx::Level::getInfo(), message);
}

void Logger::error(const QString &message) const
{
    if (m_logger->isErrorEnabled())
        log(log4cxx::Level::getError(), message);
    // An error is worth its own write, whatever else is held back.
    LogSetup::flush();
}

void Logger::log(const log4cxx::LevelPtr &level, const QString &message) const
{
    // What forcedLogLS() does, but with one memory pool per thread, emptied
    // after each line, rather than a pool made and destroyed for every line:
    // a run logs some thirty of them.
    static thread_local log4cxx::helpers::Pool pool;
    try {
        m_logger->callAppenders(std::make_shared<log4cxx::spi::LoggingEvent>(
                                    m_logger->getName(), level,
                                    CardNumberMask::forLog(message).toStdString(),
                                    log4cxx::spi::LocationInfo::getLocationUnavailable()),
                                pool);
    } catch (const std::exception &e) {
        // A full disk or a vanished log file must not end the operation
        // that is being logged: the line is lost, and counted.
        LogSetup::noteFailure(QString::fromLocal8Bit(e.what()));
    }
    apr_pool_clear(pool.getAPRPool());
}
