#include "Console.h"

#include <QByteArray>
#include <QDateTime>

#include <cstdio>

namespace {

void writeLine(std::FILE *stream, const QString &line, bool stamped)
{
    QByteArray bytes;
    if (stamped) {
        bytes = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1();
        bytes.append(' ');
    }
    bytes.append(line.toUtf8());
    if (!bytes.endsWith('\n'))
        bytes.append('\n');
    // A reader on a pipe (test, demo script) must see the line now, not at exit.
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void Console::out(const QString &line)
{
    writeLine(stdout, line, true);
}

void Console::err(const QString &line)
{
    writeLine(stderr, line, true);
}

void Console::plainOut(const QString &text)
{
    writeLine(stdout, text, false);
}

void Console::plainErr(const QString &line)
{
    writeLine(stderr, line, false);
}
