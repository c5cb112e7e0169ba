#ifndef LOGGER_H
#define LOGGER_H

#include <QString>

#include <log4cxx/logger.h>

/*!
    A named log4cxx logger that takes Qt text. Texts reach log4cxx as UTF-8,
    its own inner form, whatever the process locale says. Never throws: a
    line that cannot be written is counted by LogSetup.
    Making a Logger configures logging once if the host has not (LogSetup).
*/
class Logger
{
public:
    explicit Logger(const char *name);

    void debug(const QString &message) const;
    void info(const QString &message) const;
    void error(const QString &message) const;

private:
    void log(const log4cxx::LevelPtr &level, const QString &message) const;

    log4cxx::LoggerPtr m_logger;
};

#endif // LOGGER_H
