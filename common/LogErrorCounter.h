#ifndef LOGERRORCOUNTER_H
#define LOGERRORCOUNTER_H

#include <log4cxx/helpers/object.h>
#include <log4cxx/spi/errorhandler.h>

// log4cxx's object macros name their namespace `helpers` unqualified.
namespace logging {
namespace helpers = log4cxx::helpers;

/*!
    The error handler of the plug-in's appenders: an appender that cannot
    open its file or write to it reports here, and the failure is counted
    (LogSetup::failures()) instead of printed on the till's standard error
    once and then forgotten, as log4cxx's own handler does.
*/
class LogErrorCounter : public virtual log4cxx::spi::ErrorHandler,
                        public virtual log4cxx::helpers::Object
{
public:
    DECLARE_LOG4CXX_OBJECT(LogErrorCounter)
    BEGIN_LOG4CXX_CAST_MAP()
    LOG4CXX_CAST_ENTRY(log4cxx::spi::OptionHandler)
    LOG4CXX_CAST_ENTRY(log4cxx::spi::ErrorHandler)
    END_LOG4CXX_CAST_MAP()

    void setLogger(const log4cxx::LoggerPtr &) override { }
    void activateOptions(log4cxx::helpers::Pool &) override { }
    void setOption(const log4cxx::LogString &, const log4cxx::LogString &) override { }
    void error(const log4cxx::LogString &message, const std::exception &e,
               int errorCode) const override;
    void error(const log4cxx::LogString &message, const std::exception &e, int errorCode,
               const log4cxx::spi::LoggingEventPtr &event) const override;
    void error(const log4cxx::LogString &message) const override;
    void setAppender(const log4cxx::AppenderPtr &) override { }
    void setBackupAppender(const log4cxx::AppenderPtr &) override { }
};

} // namespace logging

using logging::LogErrorCounter;

#endif // LOGERRORCOUNTER_H
