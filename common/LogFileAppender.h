#ifndef LOGFILEAPPENDER_H
#define LOGFILEAPPENDER_H

#include <log4cxx/fileappender.h>

/*!
    The default log file's appender: log4cxx's file appender, except that
    what the buffer holds goes to the file in one write. log4cxx's own
    writer hands the file a kilobyte at a time, and a run's lines would take
    several system calls where one does. The texts are UTF-8 already (see
    Logger), which is what the file holds.
*/
class LogFileAppender : public log4cxx::FileAppender
{
protected:
    log4cxx::helpers::WriterPtr createWriter(log4cxx::helpers::OutputStreamPtr &os) override;
};

#endif // LOGFILEAPPENDER_H
