// payment-host's input lines: the shortcut for the plain lines a till sends
// most must read every line it takes exactly as the general parser does,
// and neither may fail on any line.
#include "FuzzProcess.h"
#include "HostCommand.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace {
bool same(const HostCommand &a, const HostCommand &b)
{
    return a.kind == b.kind && a.error == b.error && a.pluginPath == b.pluginPath
        && a.json == b.json && a.amount == b.amount && a.cardNumber == b.cardNumber
        && a.receiptNumber == b.receiptNumber && a.cashCode == b.cashCode
        && a.cashierCode == b.cashierCode && a.writeReceipt == b.writeReceipt
        && a.forgetId == b.forgetId && a.resetJournal == b.resetJournal;
}
} // namespace

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
    const HostCommand fast = HostCommand::parseLine(line);
    const HostCommand full = HostCommand::parse(words, HostCommand::InputLine);
    if (!same(fast, full))
        __builtin_trap();
    // A line may never do what only the command line may.
    if (fast.kind == HostCommand::Help || fast.kind == HostCommand::Version
        || fast.kind == HostCommand::ReadStdin || !fast.pluginPath.isEmpty())
        __builtin_trap();
    const HostCommand commandLine = HostCommand::parse(words, HostCommand::CommandLine);
    if ((commandLine.kind == HostCommand::Sale || commandLine.kind == HostCommand::Refund
         || commandLine.kind == HostCommand::Cancel)
        && commandLine.amount <= 0)
        __builtin_trap();
    return 0;
}
