#ifndef LOGSETUP_H
#define LOGSETUP_H

#include <QString>
#include <QStringList>

/*!
    Process-wide logging set-up. A host that configured log4cxx itself is
    left alone; otherwise the plug-in configures it once, from
    TillPaths::logConfigFile() when that exists, else with a file appender
    writing to TillPaths::defaultLogFile(), made 0640: it holds card numbers.
*/
class LogSetup
{
public:
    static void ensureConfigured();

    // Writes out what the appenders of the root logger hold back. The
    // plug-in's own appender buffers a run's lines; this ends each run.
    static void flush();

    // Where the log goes: the files of the root logger's file appenders
    // (the default file, or those a configuration names), and whether it
    // has appenders that write elsewhere (the host's console, say). Nothing
    // of either: the plug-in logs nothing.
    static QStringList files();
    static bool writesElsewhere();

    /*!
        Logging never throws at its caller: a line or a flush that fails (a
        full disk, a log file that cannot be opened) is counted here instead,
        with its reason, and `check` reports it.
    */
    static void noteFailure(const QString &reason);
    static int failures();
    static QString lastFailure();

    /*!
        Forwards Qt's own messages (qDebug, qWarning...) to the logger "Qt".
        Switching off restores the handler that was installed before; the
        engine does so when it is destroyed, because the handler lives in the
        plug-in library and the host may unload it.
    */
    static void setHandleQtMessages(bool handle);
};

#endif // LOGSETUP_H
