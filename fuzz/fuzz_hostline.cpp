// payment-host's input lines: no line may fail the parser, do what only the
// command line may, or pay a sum that is not above zero.
#include "FuzzProcess.h"
#include "HostCommand.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzProcess::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // As the host takes a line from its input.
    const QString line
        = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size)).trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
        return 0;
    const QStringList words = QProcess::splitCommand(line);
    const HostCommand read = HostCommand::parseLine(line);
    // A line may never do what only the command line may.
    if (read.kind == HostCommand::Help || read.kind == HostCommand::Version
        || read.kind == HostCommand::ReadStdin || !read.pluginPath.isEmpty())
        __builtin_trap();
    const HostCommand commandLine = HostCommand::parse(words, HostCommand::CommandLine);
    if ((commandLine.kind == HostCommand::Sale || commandLine.kind == HostCommand::Refund
         || commandLine.kind == HostCommand::Cancel)
        && commandLine.amount <= 0)
        __builtin_trap();
    return 0;
}
