#include "AccountingHandler.h"
#include "AccountingProcessor.h"
#include "AdminCommand.h"
#include "AdminHandler.h"
#include "AdminProcessor.h"
#include "AssetBook.h"
#include "BalanceSnapshots.h"
#include "BonusLots.h"
#include "BonusVersion.h"
#include "CardMask.h"
#include "CardRegistry.h"
#include "Console.h"
#include "FailureLimiter.h"
#include "Ledger.h"
#include "LedgerBackup.h"
#include "LedgerError.h"
#include "LogThrottle.h"
#include "Metrics.h"
#include "MetricsServer.h"
#include "PendingSweeper.h"
#include "PooledServer.h"
#include "ServerControl.h"
#include "SheddingServerSocket.h"
#include "SimOptions.h"
#include "TerminalRegistry.h"
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
            // The inactive balance's change only where there is one.
            const QString inactive = event.inactiveDelta == 0 ? QString()
                                                              : QStringLiteral(" inactive=")
                    + (event.inactiveDelta > 0 ? QStringLiteral("+") : QString())
                    + QString::number(event.inactiveDelta);
            Console::plainOut(event.at + QLatin1Char(' ') + event.event + QStringLiteral(" delta=")
                              + sign + QString::number(event.delta) + QStringLiteral(" balance=")
                              + QString::number(event.balance) + inactive
                              + QStringLiteral(" amount=") + QString::number(event.amount)
                              + QStringLiteral(" terminal=") + orDash(event.terminal)
                              + QStringLiteral(" session=") + orDash(event.session)
                              + QStringLiteral(" clientSession=") + orDash(event.clientSession));
        }
    } catch (const LedgerError &e) {
        Console::plainErr(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
        return 1;
    }
    Ledger::closeThreadConnection();
    return 0;
}

int backup(const SimOptions &options)
{
    try {
        const LedgerBackup::Made made = LedgerBackup::copy(options.ledger.path, options.backupFile);
        Console::plainOut(QStringLiteral("backup of %1 in %2: %3 pages, %4 bytes, the ledger as it"
                                         " stood at %5")
                              .arg(options.ledger.path, options.backupFile)
                              .arg(made.pages)
                              .arg(made.bytes)
                              .arg(made.at));
    } catch (const std::runtime_error &e) {
        Console::plainErr(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
        return 1;
    }
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

// The administrative port, when asked for: a server of its own with a few
// workers, serving operators.
struct AdminPort
{
    std::unique_ptr<SheddingServerSocket> socket;
    std::unique_ptr<PooledServer> server;
    std::thread thread;
};

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
    // /healthz's own ledger, with a short deadline.
    std::unique_ptr<Ledger> probe;
    QStringList notices;
    try {
        ledger = std::make_unique<Ledger>(options.ledger, pendingTtlMs,
                                          qint64(options.requestDeadlineSeconds) * 1000);
        for (const SimOptions::CardSeed &card : options.cards) {
            if (!ledger->addCardIfMissing(card.number, card.balance, card.balanceInactive))
                notices << QStringLiteral("card %1 already on the ledger: left as it is")
                               .arg(CardMask::shown(card.number));
        }
        TerminalRegistry(*ledger).seed(options.terminals);
        if (options.metricsPort >= 0)
            probe = std::make_unique<Ledger>(
                options.ledger, pendingTtlMs,
                std::min<qint64>(SimOptions::healthDeadlineMs,
                                 qint64(options.requestDeadlineSeconds) * 1000));
    } catch (const LedgerError &e) {
        Console::err(QStringLiteral("accounting-sim: ") + QString::fromUtf8(e.what()));
        return 1;
    }
    // From here on only the workers, the sweeper and the probe use the ledger.
    Ledger::closeThreadConnection();
    TerminalRegistry terminals(*ledger);
    CardRegistry cards(*ledger);
    AssetBook assets(*ledger);
    BalanceSnapshots snapshots(*ledger);
    BonusLots lots(*ledger);
    Metrics metrics;

    LogThrottle throttle(LogThrottle::Stream::Err);
    thriftMessages = &throttle;
    GlobalOutput.setOutputFunction(thriftOutput);

    SheddingServerSocket socket(options.listenHost.toStdString(), int(options.listenPort));
    FailureLimiter limiter(options.failureLimit,
                           std::chrono::seconds(options.failureWindowSeconds));
    AccountingHandler::Policy tills;
    tills.registeredOnly = !options.terminals.isEmpty();
    // Each connection gets a handler that knows who is calling.
    const auto processors = [&](std::shared_ptr<const Caller> caller) {
        auto handler = std::make_shared<AccountingHandler>(*ledger, terminals, metrics, tills,
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

    notices.prepend(QStringLiteral("accounting-sim %1: ledger %2, workers=%3 max-connections=%4"
                                   " max-connections-per-peer=%5 idle-timeout=%6s"
                                   " read-deadline=%7s failure-limit=%8/%9s pending-ttl=%10s"
                                   " request-deadline=%11s")
                        .arg(QStringLiteral(BONUS_VERSION), options.ledger.describe(),
                             QString::number(options.workers),
                             QString::number(options.maxConnections),
                             QString::number(options.maxConnectionsPerPeer),
                             QString::number(options.idleTimeoutSeconds),
                             QString::number(options.readDeadlineSeconds),
                             QString::number(options.failureLimit),
                             QString::number(options.failureWindowSeconds))
                        .arg(options.pendingTtlSeconds)
                        .arg(options.requestDeadlineSeconds));
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

    PendingSweeper sweeper(*ledger, lots, metrics, pendingTtlMs);

    // The operators' port: the same TLS, where only an operator's
    // certificate is served.
    AdminPort admin;
    if (options.adminPort >= 0) {
        admin.socket = std::make_unique<SheddingServerSocket>(options.adminHost.toStdString(),
                                                              options.adminPort);
        AccountingHandler::Policy operators;
        operators.operators = true;
        operators.certificates = bool(tls);
        operators.service = QStringLiteral("admin");
        const AdminHandler::Parts parts {*ledger,   terminals, cards,   assets,
                                         snapshots, lots,      sweeper, metrics};
        const auto adminProcessors = [&, operators, parts](std::shared_ptr<const Caller> caller) {
            return std::make_shared<AdminProcessor>(
                std::make_shared<AdminHandler>(parts, caller, bool(tls)),
                std::make_shared<AccountingProcessor>(std::make_shared<AccountingHandler>(
                    *ledger, terminals, metrics, operators, caller, limiter)));
        };
        PooledServer::Settings adminSettings = settings;
        adminSettings.workers = SimOptions::adminWorkers;
        admin.server
            = std::make_unique<PooledServer>(*admin.socket, adminProcessors, adminSettings, tls);
    }

    std::unique_ptr<MetricsServer> metricsServer;
    if (probe) {
        metricsServer = std::make_unique<MetricsServer>(metrics, *probe, [&] {
            QVector<Metrics::Readings::Port> ports {
                {QStringLiteral("accounting"), server.openConnections(), server.shedConnections()}};
            if (admin.server)
                ports.append({QStringLiteral("admin"), admin.server->openConnections(),
                              admin.server->shedConnections()});
            return ports;
        });
        QString error;
        if (!metricsServer->bind(options.metricsHost, quint16(options.metricsPort), error)) {
            Console::err(QStringLiteral("accounting-sim: ") + error);
            return 1;
        }
        notices << QStringLiteral("metrics listening on %1:%2 (/healthz, /metrics)")
                       .arg(options.metricsHost)
                       .arg(metricsServer->port());
    }
    ServerControl control(options.listenHost, socket, server, notices, options.tls);

    std::atomic<bool> finished {false};
    int status = 0;
    std::thread watcher([&] {
        for (;;) {
            int signal = 0;
            sigwait(&handledSignals, &signal);
            if (finished)
                return;
            if (signal == SIGHUP) {
                control.reload();
                if (admin.server && tls) {
                    try {
                        admin.server->replaceTls(std::make_shared<TlsContext>(options.tls));
                    } catch (const TlsError &) {
                        // The tills' port has logged why; both keep what they had.
                    }
                }
                continue;
            }
            // What was being served when the signal came; it is let finish.
            const QStringList inFlight = metrics.inFlight();
            const qint64 open
                = server.openConnections() + (admin.server ? admin.server->openConnections() : 0);
            Console::out(QStringLiteral("stopping on %1: %2 request(s) in flight%3,"
                                        " %4 connection(s) open")
                             .arg(QString::fromLatin1(signal == SIGINT ? "SIGINT" : "SIGTERM"))
                             .arg(inFlight.size())
                             .arg(inFlight.isEmpty() ? QString()
                                                     : QStringLiteral(" (")
                                          + inFlight.join(QStringLiteral(", ")) + QLatin1Char(')'))
                             .arg(open));
            control.requestStop();
            if (admin.server)
                admin.server->stop();
            return;
        }
    });

    try {
        server.serve([&] {
            control.listening();
            // The tills' port announces itself first (tests and the demo read
            // its port from the first line); the others follow.
            if (metricsServer)
                metricsServer->start();
            if (admin.server) {
                admin.thread = std::thread([&] {
                    try {
                        admin.server->serve([&] {
                            Console::out(QStringLiteral("admin service listening on %1:%2")
                                             .arg(options.adminHost)
                                             .arg(admin.socket->port()));
                        });
                    } catch (const TException &e) {
                        Console::err(QStringLiteral("accounting-sim: cannot serve the"
                                                    " administrative service on %1:%2: %3")
                                         .arg(options.adminHost)
                                         .arg(options.adminPort)
                                         .arg(QString::fromUtf8(e.what())));
                        status = 1;
                        server.stop();
                    }
                });
            }
        });
    } catch (const TException &e) {
        Console::err(QStringLiteral("accounting-sim: cannot serve on %1:%2: %3")
                         .arg(options.listenHost)
                         .arg(options.listenPort)
                         .arg(QString::fromUtf8(e.what())));
        status = 1;
    }
    if (admin.server) {
        admin.server->stop();
        if (admin.thread.joinable())
            admin.thread.join();
    }
    if (metricsServer)
        metricsServer->stop();

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

    // UTF-8 whatever the locale says, like every other text of the till.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromUtf8(argv[i]));
    if (arguments.size() > 1 && arguments.at(1) == QLatin1String("admin"))
        return AdminCommand::run(arguments);
    SimOptions options;
    try {
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
    if (options.command == SimOptions::Command::Backup)
        return backup(options);
    return serve(options, handledSignals);
}
