#ifndef LOGLINELAYOUT_H
#define LOGLINELAYOUT_H

#include <log4cxx/layout.h>

#include <ctime>

/*!
    The default log file's line: "yyyy-MM-dd HH:mm:ss.SSS LEVEL logger -
    message", the level padded to five, local time; byte for byte what
    log4cxx's pattern layout makes of "%d{yyyy-MM-dd HH:mm:ss.SSS} %-5p %c -
    %m%n". A run writes some thirty lines, and the pattern layout's general
    machinery cost more than writing them; this one keeps the text of the
    current second and adds the rest.
*/
class LogLineLayout : public log4cxx::Layout
{
public:
    void format(log4cxx::LogString &output, const log4cxx::spi::LoggingEventPtr &event,
                log4cxx::helpers::Pool &pool) const override;
    bool ignoresThrowable() const override { return true; }
    void activateOptions(log4cxx::helpers::Pool &) override { }
    void setOption(const log4cxx::LogString &, const log4cxx::LogString &) override { }

private:
    // The appender calls format() under its own lock.
    mutable std::time_t second = -1;
    mutable char secondText[24] = {};
};

#endif // LOGLINELAYOUT_H
