#include "AccountingHandler.h"
#include "AccountingProcessor.h"
#include "BonusVersion.h"
#include "Console.h"
#include "Ledger.h"
#include "LedgerError.h"
#include "LimitedTransport.h"
#include "LogThrottle.h"
#include "PendingSweeper.h"
#include "PooledServer.h"
#include "ServerControl.h"
#include "SheddingServerSocket.h"
#include "SimOptions.h"
#include "UsageError.h"

#include <thrift/TOutput.h>
#include <thrift/TProcessor.h>
#include <thrift/protocol/TBinaryProtocol.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <atomic>
#include <csignal>
#include <memory>
#include <pthread.h>
#include <thread>

using apache::thrift::GlobalOutput;
using apache::thrift::TException;
using apache::thrift::TSingletonProcessorFactory;
using apache::thrift::protocol::TBinaryProtocolFactory;

namespace {

LogThrottle *thriftMessages = nullptr;

// Thrift's own diagnostics (a failed bind, a client that sent garbage) as our
// lines; a flood of broken clients gives a line a second.
void thriftOutput(const char *message)
{
    const QString line = QStringLiteral("accounting-sim: thrift: ") + QString::fromUtf8(message);
    if (thriftMessages)
        thriftMessages->write(line);
    else
        Console::err(line);
}

QString orDash(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("-") : value;
}

int showHistory(const SimOptions &options)
{
    if (options.ledger.kind == LedgerAddress::Kind::SQLite
        && !QFileInfo(options.ledger.path).isFile()) {
        Console::plainErr(QStringLiteral("accounting-sim: no ledger at ") + options.ledger.path);
        return 1;
    }
    try {
        Ledger ledger(options.ledger, 0, qint64(options.requestDeadlineSeconds) * 1000);
        LedgerReply card;
        QVector<Ledger::Event> events;
        if (!ledger.history(options.historyCard, card, events)) {
            Console::plainErr(QStringLiteral("accounting-sim: card %1 is not on the ledger")
                                  .arg(options.historyCard));
            return 1;
        }
        Console::plainOut(QStringLiteral("card %1: balance=%2 inactive=%3")
                              .arg(options.historyCard)
                              .arg(card.balance)
                              .arg(card.balanceInactive));
        for (const Ledger::Event &event : events) {
            const QString sign = event.delta > 0 ? QStringLiteral("+") : QString();
            Console::plainOut(event.at + QLatin1Char(' ') + event.event + QStringLiteral(" delta=")
                              + sign + QString::number(event.delta) + QStringLiteral(" balance=")
                              + QString::number(event.balance) + QStringLiteral(" amount=")
                              + QString::number(event.amount) + QStringLiteral(" terminal=")
                              + orDash(event.terminal) + QStringLiteral(" session=")
                              + orDash(event.session) + QStringLiteral(" clientSession=")
                              + orDash(event.clientSession));
        }
    } catch (const LedgerError &e) {
        Console::plainErr(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
        return 1;
    }
    Ledger::closeThreadConnection();
    return 0;
}

int serve(const SimOptions &options, sigset_t &stopSignals)
{
    const qint64 pendingTtlMs = qint64(options.pendingTtlSeconds) * 1000;
    const int idleTimeoutMs = options.idleTimeoutSeconds * 1000;
    std::unique_ptr<Ledger> ledger;
    try {
        ledger = std::make_unique<Ledger>(options.ledger, pendingTtlMs,
                                          qint64(options.requestDeadlineSeconds) * 1000);
        for (const SimOptions::CardSeed &card : options.cards)
            ledger->addCardIfMissing(card.number, card.balance, card.balanceInactive);
    } catch (const LedgerError &e) {
        Console::err(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
        return 1;
    }
    // From here on only the workers and the sweeper use the ledger.
    Ledger::closeThreadConnection();

    LogThrottle throttle(LogThrottle::Stream::Err);
    thriftMessages = &throttle;
    GlobalOutput.setOutputFunction(thriftOutput);

    auto socket = std::make_shared<SheddingServerSocket>(options.listenHost.toStdString(),
                                                         int(options.listenPort));
    // A connection silent this long is closed, and its worker freed.
    socket->setRecvTimeout(idleTimeoutMs);
    socket->setSendTimeout(idleTimeoutMs);
    auto handler = std::make_shared<AccountingHandler>(*ledger, options.terminals);
    auto processor = std::make_shared<AccountingProcessor>(handler);
    // No framing: the till's client writes the binary protocol straight onto
    // the socket. The limits refuse a declared length before allocating it.
    PooledServer server(
        std::make_shared<TSingletonProcessorFactory>(processor), socket,
        std::make_shared<LimitedTransportFactory>(SimOptions::maxMessageBytes, idleTimeoutMs),
        std::make_shared<TBinaryProtocolFactory>(SimOptions::maxStringBytes,
                                                 SimOptions::maxContainerItems, false, true),
        options.workers, options.maxConnections, idleTimeoutMs);

    QStringList notices;
    notices << QStringLiteral("accounting-sim %1: ledger %2, workers=%3 max-connections=%4"
                              " idle-timeout=%5s pending-ttl=%6s request-deadline=%7s")
                   .arg(QStringLiteral(BONUS_VERSION), options.ledger.describe(),
                        QString::number(options.workers), QString::number(options.maxConnections),
                        QString::number(options.idleTimeoutSeconds),
                        QString::number(options.pendingTtlSeconds),
                        QString::number(options.requestDeadlineSeconds));
    if (options.terminals.isEmpty())
        notices << QStringLiteral("accepting every terminal: no --terminal was given");
    auto control = std::make_shared<ServerControl>(options.listenHost, socket, server, notices);
    server.setServerEventHandler(control);

    std::atomic<bool> finished {false};
    std::thread watcher([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (!finished)
            control->requestStop();
    });

    int status = 0;
    {
        PendingSweeper sweeper(*ledger, pendingTtlMs);
        try {
            server.serve();
        } catch (const TException &e) {
            Console::err(QStringLiteral("accounting-sim: cannot serve on %1:%2: %3")
                             .arg(options.listenHost)
                             .arg(options.listenPort)
                             .arg(QString::fromUtf8(e.what())));
            status = 1;
        }
    }

    finished = true;
    // Wakes the watcher if serve() ended without a signal; harmless otherwise.
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    GlobalOutput.setOutputFunction(nullptr);
    thriftMessages = nullptr;
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread starts, so every thread inherits the mask and
    // only the watcher ever receives these signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("accounting-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BONUS_VERSION));

    SimOptions options;
    try {
        // UTF-8 whatever the locale says, like every other text of the till.
        QStringList arguments;
        for (int i = 0; i < argc; ++i)
            arguments.append(QString::fromUtf8(argv[i]));
        options = SimOptions::parse(arguments);
    } catch (const UsageError &e) {
        Console::plainErr(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
        return 2;
    }
    if (options.helpRequested) {
        Console::plainOut(options.helpText);
        return 0;
    }
    if (options.versionRequested) {
        Console::plainOut(QStringLiteral("accounting-sim ") + QStringLiteral(BONUS_VERSION));
        return 0;
    }
    if (options.command == SimOptions::Command::History)
        return showHistory(options);
    return serve(options, stopSignals);
}
