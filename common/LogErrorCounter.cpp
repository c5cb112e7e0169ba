#include "LogErrorCounter.h"

#include "LogSetup.h"

#include <QString>

static_assert(LOG4CXX_LOGCHAR_IS_UTF8, "log4cxx's texts are taken as UTF-8");

namespace logging {

IMPLEMENT_LOG4CXX_OBJECT(LogErrorCounter)

void LogErrorCounter::error(const ::log4cxx::LogString &message, const std::exception &e, int) const
{
    LogSetup::noteFailure(QString::fromStdString(message) + QStringLiteral(": ")
                          + QString::fromLocal8Bit(e.what()));
}

void LogErrorCounter::error(const ::log4cxx::LogString &message, const std::exception &e,
                            int errorCode, const ::log4cxx::spi::LoggingEventPtr &) const
{
    error(message, e, errorCode);
}

void LogErrorCounter::error(const ::log4cxx::LogString &message) const
{
    LogSetup::noteFailure(QString::fromStdString(message));
}

} // namespace logging
