#include "Logger.h"

#include "LogSetup.h"

Logger::Logger(const char *name)
{
    LogSetup::ensureConfigured();
    m_logger = log4cxx::Logger::getLogger(name);
}

void Logger::debug(const QString &message) const
{
    LOG4CXX_DEBUG(m_logger, message.toStdWString());
}

void Logger::info(const QString &message) const
{
    LOG4CXX_INFO(m_logger, message.toStdWString());
}

void Logger::error(const QString &message) const
{
    LOG4CXX_ERROR(m_logger, message.toStdWString());
}
