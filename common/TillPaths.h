#ifndef TILLPATHS_H
#define TILLPATHS_H

#include <QString>

/*!
    The one place that knows where the till keeps things. Every fixed path of
    the plug-in is made here from the till's root, "/tillhouse" unless the
    environment variable TILLHOUSE_ROOT names another (tests and demos use a
    temporary tree). Directory paths end with a slash.
*/
class TillPaths
{
public:
    // The environment variable that names the root; logging configurations
    // write ${TILLHOUSE_ROOT} for it too (LogSetup).
    static const char *rootVariable();
    static QString root();
    static QString confDir();
    static QString settingsFile();
    static QString workDir();
    static QString statusFileName();
    static QString printFileName();
    // The status and print files when the settings name none.
    static QString statusFile();
    static QString printFile();
    // In the work directory: the lock that lets one run at a time use the
    // till tree, and the journal of money-moving operations.
    static QString lockFile();
    static QString journalFile();
    static QString checkImage();
    static QString logConfigFile();
    static QString defaultLogFile();
};

#endif // TILLPATHS_H
