#include "LogLineLayout.h"

#include <log4cxx/level.h>
#include <log4cxx/spi/loggingevent.h>

#include <cstdio>

void LogLineLayout::format(log4cxx::LogString &output, const log4cxx::spi::LoggingEventPtr &event,
                           log4cxx::helpers::Pool &) const
{
    // log4cxx's time stamps are microseconds since the epoch.
    const log4cxx::log4cxx_time_t micros = event->getTimeStamp();
    const std::time_t now = std::time_t(micros / 1000000);
    if (now != second) {
        std::tm local {};
        localtime_r(&now, &local);
        std::strftime(secondText, sizeof secondText, "%Y-%m-%d %H:%M:%S", &local);
        second = now;
    }
    const int millis = int((micros / 1000) % 1000);
    const char fraction[5] = {'.', char('0' + millis / 100), char('0' + millis / 10 % 10),
                              char('0' + millis % 10), ' '};

    // The level's name padded to five; Level::toString() transcodes it
    // every time.
    static const struct
    {
        int value;
        const char *name;
    } levels[] = {{log4cxx::Level::DEBUG_INT, "DEBUG"}, {log4cxx::Level::INFO_INT, "INFO "},
                  {log4cxx::Level::ERROR_INT, "ERROR"}, {log4cxx::Level::WARN_INT, "WARN "},
                  {log4cxx::Level::FATAL_INT, "FATAL"}, {log4cxx::Level::TRACE_INT, "TRACE"}};
    const int value = event->getLevel()->toInt();
    const char *level = nullptr;
    for (const auto &known : levels) {
        if (known.value == value)
            level = known.name;
    }
    log4cxx::LogString otherLevel;
    if (!level) {
        event->getLevel()->toString(otherLevel);
        if (otherLevel.size() < 5)
            otherLevel.append(5 - otherLevel.size(), ' ');
        level = otherLevel.c_str();
    }

    const log4cxx::LogString &name = event->getLoggerName();
    const log4cxx::LogString &message = event->getRenderedMessage();
    output.reserve(output.size() + 40 + name.size() + message.size());
    output.append(secondText);
    output.append(fraction, sizeof fraction);
    output.append(level);
    output.append(1, ' ');
    output.append(name);
    output.append(" - ");
    output.append(message);
    output.append(1, '\n');
}
