#include "Logger.h"

#include "LogSetup.h"

#include <log4cxx/spi/location/locationinfo.h>

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
        m_logger->forcedLogLS(log4cxx::Level::getDebug(), message.toStdString(),
                              log4cxx::spi::LocationInfo::getLocationUnavailable());
}

void Logger::info(const QString &message) const
{
    if (m_logger->isInfoEnabled())
        m_logger->forcedLogLS(log4cxx::Level::getInfo(), message.toStdString(),
                              log4cxx::spi::LocationInfo::getLocationUnavailable());
}

void Logger::error(const QString &message) const
{
    if (m_logger->isErrorEnabled())
        m_logger->forcedLogLS(log4cxx::Level::getError(), message.toStdString(),
                              log4cxx::spi::LocationInfo::getLocationUnavailable());
    // An error is worth its own write, whatever else is held back.
    LogSetup::flush();
}
