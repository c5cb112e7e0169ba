#include "Console.h"

#include <QByteArray>

#include <cstdio>

namespace {

void writeLine(std::FILE *stream, const QString &line)
{
    QByteArray bytes = line.toUtf8();
    bytes.append('\n');
    // A reader on a pipe (test, demo script) must see the line now, not at exit.
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void Console::out(const QString &line)
{
    writeLine(stdout, line);
}

void Console::err(const QString &line)
{
    writeLine(stderr, line);
}
