// The accounting server's replies as the plug-in's client decodes them, with
// its protocol and reply limits: the first byte picks the call the reply
// answers, the rest is the reply. Whatever arrives, the call answers or
// throws the client's own error, never anything else.
#include "BonusSettings.h"
#include "BonusSystemError.h"
#include "FuzzProcess.h"
#include "VeltaBonusClientThrift.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {
VeltaBonusClientThrift *client = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzProcess::start(argc, argv);
    // Nothing is dialled: the replies come from memory.
    client = new VeltaBonusClientThrift(
        BonusSettings::fromBytes(R"({"address": "127.0.0.1", "port": 9, "terminalId": "T1"})"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    using Reply = VeltaBonusClientThrift::Reply;
    static const Reply calls[]
        = {Reply::Balance, Reply::MakePay, Reply::MakePayBack, Reply::Commit, Reply::Rollback};
    const Reply call = calls[data[0] % (sizeof calls / sizeof calls[0])];
    const QByteArray reply
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    try {
        if (call == Reply::Balance)
            (void)client->decodeBalanceReply(reply);
        else
            (void)client->decodeReply(call, reply);
    } catch (const BonusSystemError &) {
        // A refusal, or a reply that did not decode: the cashier is told.
    }
    return 0;
}
