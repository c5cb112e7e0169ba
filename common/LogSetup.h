#ifndef LOGSETUP_H
#define LOGSETUP_H

/*!
    Process-wide logging set-up. A host that configured log4cxx itself is
    left alone; otherwise the plug-in configures it once, from
    TillPaths::logConfigFile() when that exists, else with a file appender
    writing to TillPaths::defaultLogFile().
*/
class LogSetup
{
public:
    static void ensureConfigured();

    // Writes out what the appenders of the root logger hold back. The
    // plug-in's own appender buffers a run's lines; this ends each run.
    static void flush();

    /*!
        Forwards Qt's own messages (qDebug, qWarning...) to the logger "Qt".
        Switching off restores the handler that was installed before; the
        engine does so when it is destroyed, because the handler lives in the
        plug-in library and the host may unload it.
    */
    static void setHandleQtMessages(bool handle);
};

#endif // LOGSETUP_H
