#ifndef PROCESSMEMORY_H
#define PROCESSMEMORY_H

#include <QByteArray>
#include <QFile>
#include <QString>

/*!
    A child's memory as the kernel counts it, from /proc/PID/status: the
    value of a line such as "VmRSS:" or "VmHWM:", in KiB; -1 when the
    process or the line is not there.
*/
class ProcessMemory
{
public:
    static qint64 kib(qint64 pid, const QByteArray &field)
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith(field))
                return line.mid(field.size()).trimmed().split(' ').first().toLongLong();
        }
        return -1;
    }
};

#endif // PROCESSMEMORY_H
