// The settings file: every value the plug-in reads from it, the settings a
// run works with, and the bonus client configured from it, for whatever
// bytes the file holds.
#include "BonusSettings.h"
#include "BonusSystemError.h"
#include "EffectiveSettings.h"
#include "FuzzProcess.h"
#include "VeltaBonusClientThrift.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzProcess::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const BonusSettings settings = BonusSettings::fromBytes(bytes);
    // What one read answers must not depend on how it is asked.
    if (settings.isUsable()
        != (settings.state() == BonusSettings::State::Read && settings.problems().isEmpty()))
        __builtin_trap();
    for (const QString &key : BonusSettings::knownKeys()) {
        (void)settings.text(key);
        (void)settings.integer(key);
    }
    (void)settings.reversalWindowSeconds();
    (void)settings.unknownKeys();
    for (const BonusSettings::Server &server : settings.servers()) {
        // Only servers the checks let through are listed.
        if (server.address.isEmpty() || server.port < 1 || server.port > 65535)
            __builtin_trap();
    }
    (void)settings.tls();
    // Whatever the file holds, a run has paths, a header and a width.
    EffectiveSettings effective;
    if (effective.apply(settings)
        != (settings.state() != BonusSettings::State::NotJson
            && settings.state() != BonusSettings::State::TooLarge
            && (settings.state() != BonusSettings::State::Read || settings.isUsable())))
        __builtin_trap();
    if (effective.statusFile.isEmpty() || effective.printFile.isEmpty()
        || effective.header.isEmpty() || effective.widthPrint == 0)
        __builtin_trap();
    try {
        VeltaBonusClientThrift client(settings);
        (void)client.getTerminalId();
    } catch (const BonusSystemError &) {
        // A file the client cannot take: the engine refuses it earlier.
    }
    return 0;
}
