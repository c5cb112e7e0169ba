#include "AccountingHandler.h"
#include "AccountingProcessor.h"
#include "BonusVersion.h"
#include "CardMask.h"
#include "Console.h"
#include "FailureLimiter.h"
#include "Ledger.h"
#include "LedgerError.h"
#include "LogThrottle.h"
#include "PendingSweeper.h"
#include "PooledServer.h"
#include "ServerControl.h"
#include "SheddingServerSocket.h"
#include "SimOptions.h"
#include "TlsContext.h"
#include "TlsError.h"
#include "UsageError.h"

#include <thrift/TOutput.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <atomic>
#include <climits>
#include <csignal>
#include <memory>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>

using apache::thrift::GlobalOutput;
using apache::thrift::TException;

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

// Descriptors are what idle clients cost now: take all the system allows.
int raiseOpenFileLimit()
{
    rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return -1;
    if (files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    return files.rlim_cur > rlim_t(INT_MAX) ? INT_MAX : int(files.rlim_cur);
}

QString tlsNotice(const SimOptions::Tls &tls)
{
    QString notice = QStringLiteral("tls: certificate %1").arg(tls.certificate);
    if (tls.ca.isEmpty())
        return notice + QStringLiteral(", no client certificates asked for");
    notice += QStringLiteral(", client certificates signed by %1 required").arg(tls.ca);
    if (!tls.crl.isEmpty())
        notice += QStringLiteral(", revocations from %1").arg(tls.crl);
    return notice;
}

int serve(const SimOptions &options, sigset_t &handledSignals)
{
    const qint64 pendingTtlMs = qint64(options.pendingTtlSeconds) * 1000;
    const int idleTimeoutMs = options.idleTimeoutSeconds * 1000;
    const int openFiles = raiseOpenFileLimit();
    CardMask::showFull(options.logFullCardNumbers);

    std::shared_ptr<TlsContext> tls;
    if (options.tls.enabled()) {
        try {
            tls = std::make_shared<TlsContext>(options.tls);
        } catch (const TlsError &e) {
            Console::err(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
            return 1;
        }
    }
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

    SheddingServerSocket socket(options.listenHost.toStdString(), int(options.listenPort));
    FailureLimiter limiter(options.failureLimit,
                           std::chrono::seconds(options.failureWindowSeconds));
    // Each connection gets a handler that knows who is calling.
    const auto processors = [&](std::shared_ptr<const Caller> caller) {
        auto handler = std::make_shared<AccountingHandler>(*ledger, options.terminals,
                                                           std::move(caller), limiter);
        return std::make_shared<AccountingProcessor>(handler);
    };
    PooledServer::Settings settings;
    settings.workers = options.workers;
    settings.maxConnections = options.maxConnections;
    settings.maxConnectionsPerPeer = options.maxConnectionsPerPeer;
    settings.idleTimeoutMs = idleTimeoutMs;
    settings.readDeadlineMs = options.readDeadlineSeconds * 1000;
    settings.queueLimitMs = idleTimeoutMs;
    PooledServer server(socket, processors, settings, tls);

    QStringList notices;
    notices << QStringLiteral("accounting-sim %1: ledger %2, workers=%3 max-connections=%4"
                              " max-connections-per-peer=%5 idle-timeout=%6s read-deadline=%7s"
                              " failure-limit=%8/%9s pending-ttl=%10s request-deadline=%11s")
                   .arg(QStringLiteral(BONUS_VERSION), options.ledger.describe(),
                        QString::number(options.workers), QString::number(options.maxConnections),
                        QString::number(options.maxConnectionsPerPeer),
                        QString::number(options.idleTimeoutSeconds),
                        QString::number(options.readDeadlineSeconds),
                        QString::number(options.failureLimit),
                        QString::number(options.failureWindowSeconds))
                   .arg(options.pendingTtlSeconds)
                   .arg(options.requestDeadlineSeconds);
    if (options.terminals.isEmpty())
        notices << QStringLiteral("accepting every terminal: no --terminal was given");
    if (tls)
        notices << tlsNotice(options.tls);
    if (options.logFullCardNumbers)
        notices << QStringLiteral("card numbers are logged in full: --log-card-numbers full");
    // Each connection holds a descriptor; the workers' ledger connections and
    // the log need some too.
    if (openFiles > 0 && options.maxConnections + options.workers + 64 > openFiles)
        notices << QStringLiteral("the open-file limit (%1) is below what --max-connections %2"
                                  " needs: connections beyond it are shed")
                       .arg(openFiles)
                       .arg(options.maxConnections);
    ServerControl control(options.listenHost, socket, server, notices, options.tls);

    std::atomic<bool> finished {false};
    std::thread watcher([&] {
        for (;;) {
            int signal = 0;
            sigwait(&handledSignals, &signal);
            if (finished)
                return;
            if (signal == SIGHUP) {
                control.reload();
                continue;
            }
            control.requestStop();
            return;
        }
    });

    int status = 0;
    {
        PendingSweeper sweeper(*ledger, pendingTtlMs);
        try {
            server.serve([&] { control.listening(); });
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
    // only the watcher ever receives these handledSignals.
    sigset_t handledSignals;
    sigemptyset(&handledSignals);
    sigaddset(&handledSignals, SIGINT);
    sigaddset(&handledSignals, SIGTERM);
    sigaddset(&handledSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &handledSignals, nullptr);
    // A client gone before its reply is written must not end the server:
    // TLS writes go through a plain write().
    std::signal(SIGPIPE, SIG_IGN);

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
    return serve(options, handledSignals);
}
