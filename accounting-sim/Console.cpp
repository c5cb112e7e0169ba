#include "Console.h"

#include <QByteArray>
#include <QDateTime>

#include <cerrno>
#include <unistd.h>

namespace {

void writeLine(int stream, const QString &line, bool stamped)
{
    QByteArray bytes;
    if (stamped) {
        bytes = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1();
        bytes.append(' ');
    }
    bytes.append(line.toUtf8());
    if (!bytes.endsWith('\n'))
        bytes.append('\n');
    // One write() a line, straight to the descriptor: a reader on a pipe sees
    // it at once, lines never mix (a pipe keeps writes up to 4 KiB whole, and
    // a file takes each write whole), and the workers do not queue on stdio's
    // lock to log.
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(stream, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere to log to; serving goes on
        data += written;
        left -= written;
    }
}

} // namespace

void Console::out(const QString &line)
{
    writeLine(STDOUT_FILENO, line, true);
}

void Console::err(const QString &line)
{
    writeLine(STDERR_FILENO, line, true);
}

void Console::plainOut(const QString &text)
{
    writeLine(STDOUT_FILENO, text, false);
}

void Console::plainErr(const QString &line)
{
    writeLine(STDERR_FILENO, line, false);
}
