// Requests as accounting-sim reads them off a connection: the reader finds
// where each ends under the server's limits, and the processor decodes it
// with the server's protocol and answers it from a ledger in a temporary
// SQLite file. Whatever arrives, a request is refused or answered, never
// anything else.
#include "AccountingHandler.h"
#include "AccountingProcessor.h"
#include "Caller.h"
#include "FailureLimiter.h"
#include "FuzzProcess.h"
#include "Ledger.h"
#include "LedgerAddress.h"
#include "Metrics.h"
#include "PooledServer.h"
#include "RequestReader.h"
#include "TerminalRegistry.h"

#include <thrift/TProcessor.h>
#include <thrift/protocol/TProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include <cstddef>
#include <cstdint>
#include <string>

using apache::thrift::transport::TMemoryBuffer;

namespace {
// The one card of the ledger; the seed corpus pays with it.
const char card[] = "2000123456789";

Ledger *ledger = nullptr;
FailureLimiter *limiter = nullptr;
TerminalRegistry *terminals = nullptr;
Metrics *metrics = nullptr;
std::shared_ptr<Caller> caller;
std::shared_ptr<apache::thrift::TProcessor> processor;
std::shared_ptr<apache::thrift::protocol::TProtocolFactory> protocols;

// One whole request, served as a worker serves it.
void serve(const std::string &request)
{
    std::string bytes = request;
    auto input = std::make_shared<TMemoryBuffer>(reinterpret_cast<uint8_t *>(bytes.data()),
                                                 uint32_t(bytes.size()), TMemoryBuffer::OBSERVE);
    auto output = std::make_shared<TMemoryBuffer>();
    caller->received = Caller::Clock::now();
    try {
        processor->process(protocols->getProtocol(input), protocols->getProtocol(output), nullptr);
    } catch (const apache::thrift::TException &) {
        // Undecodable: the server closes the connection.
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzProcess::start(argc, argv);
    ledger = new Ledger(LedgerAddress::parse(FuzzProcess::root() + QStringLiteral("/ledger.db")),
                        60000, 5000);
    ledger->addCardIfMissing(QLatin1String(card), 1000000, 0);
    limiter = new FailureLimiter(20, std::chrono::seconds(60));
    caller = std::make_shared<Caller>();
    caller->peer = QStringLiteral("127.0.0.1");
    terminals = new TerminalRegistry(*ledger);
    metrics = new Metrics;
    // A till's port, every terminal served.
    const AccountingHandler::Policy tills;
    processor = std::make_shared<AccountingProcessor>(std::make_shared<AccountingHandler>(
        *ledger, *terminals, *metrics, tills, caller, *limiter));
    protocols = PooledServer::requestProtocols();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    RequestReader reader = PooledServer::requestReader();
    // The bytes arrive in two parts, so that the reader resumes once.
    RequestReader::Status status = reader.scan(input.data(), input.size() / 2);
    if (status == RequestReader::Status::Incomplete)
        status = reader.scan(input.data(), input.size());
    while (status == RequestReader::Status::Complete) {
        const size_t length = reader.messageBytes();
        if (length == 0 || length > input.size())
            __builtin_trap();
        serve(input.substr(0, length));
        // A client may send its next request at once.
        input.erase(0, length);
        reader.reset();
        status = reader.scan(input.data(), input.size());
    }
    return 0;
}
