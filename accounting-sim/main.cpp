#include "AccountingHandler.h"
#include "Console.h"
#include "Ledger.h"
#include "LedgerError.h"
#include "ServerControl.h"
#include "SimOptions.h"
#include "UsageError.h"

#include <thrift/TOutput.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>

#include <QCoreApplication>
#include <QStringList>

#include <atomic>
#include <csignal>
#include <memory>
#include <pthread.h>
#include <thread>

using apache::thrift::GlobalOutput;
using apache::thrift::TException;
using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::server::TThreadedServer;
using apache::thrift::transport::TBufferedTransportFactory;
using apache::thrift::transport::TServerSocket;

namespace {

// Thrift's own diagnostics (a failed bind, a client that vanished) as our lines.
void thriftOutput(const char *message)
{
    Console::err(QStringLiteral("accounting-sim: thrift: ") + QString::fromUtf8(message));
}

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread starts, so every thread inherits the mask and
    // only the watcher below ever receives these signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);

    SimOptions options;
    try {
        // UTF-8 whatever the locale says, like every other text of the till.
        QStringList arguments;
        for (int i = 0; i < argc; ++i)
            arguments.append(QString::fromUtf8(argv[i]));
        options = SimOptions::parse(arguments);
    } catch (const UsageError &e) {
        Console::err(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
        return 2;
    }
    if (options.helpRequested) {
        Console::out(SimOptions::usage());
        return 0;
    }

    std::unique_ptr<Ledger> ledger;
    try {
        ledger = std::make_unique<Ledger>(options.dbPath);
        for (const SimOptions::CardSeed &card : options.cards)
            ledger->addCardIfMissing(card.number, card.balance, card.balanceInactive);
    } catch (const LedgerError &e) {
        Console::err(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
        return 1;
    }
    // From here on only the connection threads use the ledger.
    Ledger::closeThreadConnection();

    GlobalOutput.setOutputFunction(thriftOutput);
    auto socket = std::make_shared<TServerSocket>(options.listenHost.toStdString(),
                                                  int(options.listenPort));
    auto handler = std::make_shared<AccountingHandler>(*ledger, options.terminals);
    auto processor
        = std::make_shared<accounting::logic::thriftapi::AccountingLogicServiceProcessor>(handler);
    // No framing: the till's client writes the binary protocol straight onto the socket.
    TThreadedServer server(processor, socket, std::make_shared<TBufferedTransportFactory>(),
                           std::make_shared<TBinaryProtocolFactory>());
    auto control = std::make_shared<ServerControl>(options.listenHost, socket, server);
    server.setServerEventHandler(control);

    std::atomic<bool> finished {false};
    std::thread watcher([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (!finished)
            control->requestStop();
    });

    int status = 0;
    try {
        server.serve();
    } catch (const TException &e) {
        Console::err(QStringLiteral("accounting-sim: cannot serve on %1:%2: %3")
                         .arg(options.listenHost)
                         .arg(options.listenPort)
                         .arg(QString::fromUtf8(e.what())));
        status = 1;
    }

    finished = true;
    // Wakes the watcher if serve() ended without a signal; harmless otherwise.
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    return status;
}
