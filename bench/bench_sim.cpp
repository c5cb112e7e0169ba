// Throughput of accounting-sim against the floor: a bare Thrift server of
// the same kind with an in-memory map, measured in the same run, cell by
// cell. Prints balance calls/s and commits/s (a sale: makePay, then
// commitTransaction) at 1, 4, 16 and 64 clients, with a fresh connection
// for every call (as the till does) and with one kept connection per
// client, and the 99th percentile of a sale's time.
//
//   bench_sim [--seconds S] [--clients 1,4,16,64] [--sim PATH] [--compare PATH] [--dir DIR]
//             [--ledger mysql://...] [--galera mysql://...,mysql://...,...]
//   bench_sim --attack [--seconds S] [--sim PATH] [--dir DIR]
//
// --compare adds a column for another accounting-sim build (an older one,
// say). The ledger is SQLite in DIR (default: the current directory), so
// every commit is synced to that disk; --ledger puts accounting-sim's on
// MariaDB instead (an empty database: scripts/bench --mariadb makes one).
// --galera adds a column for one accounting-sim on each node of a Galera
// cluster, the clients spread over them (scripts/bench --galera makes it).
//
// --attack times one till's balance calls (a fresh connection each, 5 ms
// apart, for S seconds a row; 40 by default, longer than the idle time-out,
// so that the attack's connections are closed and opened again meanwhile) on
// an idle server, then while other loopback addresses hold 5,000 idle
// connections (under the default cap, which holds them all, and under a cap
// of 256, where each one the server closes to make room is opened again at
// once: a flood of new connections), then while 64 slow clients each send a
// byte a second. A server is started for each, and every call must succeed;
// p99 is set against the idle server's.

#include "Attacker.h"
#include "Bench.h"
#include "FloorServer.h"
#include "Load.h"
#include "SimProcess.h"

#include <QCoreApplication>
#include <QVector>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

// Each server's workers: accounting-sim's default, or one for each client
// when there are more (a kept connection holds a worker of the floor's pool).
constexpr int defaultWorkers = 32;

struct Cell
{
    Load::Outcome balance;
    Load::Outcome commits;
};

// One column of the table: a server, or several on one ledger.
struct Column
{
    QString name;
    std::vector<std::unique_ptr<SimProcess>> servers;
    QString program;
    QList<QStringList> arguments;
    QVector<quint16> ports;
};

void printRow(const char *label, const QString &connection, const std::vector<Cell> &cells)
{
    std::printf("%-8s %-11s", label, qPrintable(connection));
    for (bool commits : {false, true}) {
        for (const Cell &cell : cells)
            std::printf(" %9.0f", commits ? cell.commits.perSecond : cell.balance.perSecond);
        const double floor
            = commits ? cells.front().commits.perSecond : cells.front().balance.perSecond;
        const double sim = commits ? cells[1].commits.perSecond : cells[1].balance.perSecond;
        std::printf(" %9.2f  ", floor > 0 ? sim / floor : 0.0);
    }
    for (size_t c = 1; c < cells.size(); ++c)
        std::printf(" %9.1f", cells[c].commits.p99Ms);
    std::printf("\n");
    std::fflush(stdout);
}

// The attack's sockets and the server's are both descriptors: all the
// system allows.
void raiseOpenFileLimit()
{
    rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

// Starts `program` with its log in the working directory; false with the
// reason on stderr.
bool startServer(Bench &bench, SimProcess &server, const QString &program, const QString &name,
                 const QStringList &arguments)
{
    server.setProgram(program);
    server.setLogFile(bench.filePath(name + QStringLiteral(".log")));
    if (server.start(arguments))
        return true;
    std::fprintf(stderr, "bench: %s did not start: %s\n", qPrintable(name),
                 qPrintable(server.error()));
    return false;
}

int runAttack(Bench &bench, const QString &sim, double seconds)
{
    raiseOpenFileLimit();
    struct Scenario
    {
        const char *label;
        int connections; // 0: no attack
        Attacker::Kind kind;
        int perAddress;
        int maxConnections;
    };
    const Scenario scenarios[] = {
        {"idle server", 0, Attacker::Kind::Idle, 1, 10000},
        {"5,000 idle, 50 an address", 5000, Attacker::Kind::Idle, 50, 10000},
        {"5,000 idle, 50 an address, oldest idle make room", 5000, Attacker::Kind::Idle, 50, 256},
        {"64 slow, a byte a second, 1 an address", 64, Attacker::Kind::Slow, 1, 10000},
    };
    std::printf("accounting-sim under attack: one till's balance calls for %.0f s, 5 ms apart, each"
                " on a fresh connection from 127.0.0.1,\nwhile other loopback addresses hold"
                " connections; a new server for each row\nsim: %s, ledger SQLite in %s\n\n",
                seconds, qPrintable(sim), qPrintable(bench.path()));
    std::printf("%-50s %9s %7s %7s %8s %8s %9s %9s %9s\n", "scenario", "max-conn", "ok", "failed",
                "p50 ms", "p99 ms", "p99/idle", "opened", "closed");
    double idleP99 = 0;
    int status = 0;
    int row = 0;
    for (const Scenario &scenario : scenarios) {
        const QString name = QStringLiteral("attack-%1").arg(++row);
        SimProcess server;
        if (!startServer(bench, server, sim, name,
                         {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                          QStringLiteral("--db"), bench.filePath(name + QStringLiteral(".db")),
                          QStringLiteral("--card"), QStringLiteral("B0=1000000"),
                          QStringLiteral("--max-connections"),
                          QString::number(scenario.maxConnections)}))
            return 1;
        std::unique_ptr<Attacker> attacker;
        if (scenario.connections > 0) {
            attacker = std::make_unique<Attacker>(server.port(), scenario.kind,
                                                  scenario.connections, scenario.perAddress);
            if (!attacker->waitUntilOpen(30000)) {
                std::fprintf(stderr, "bench: the attack did not get its connections open\n");
                return 1;
            }
            // Past the kernel's deferred accept: the server holds them.
            std::this_thread::sleep_for(std::chrono::seconds(5));
        }
        const Load::Latency latency = Load::timed(server.port(), seconds, 5);
        if (scenario.connections == 0)
            idleP99 = latency.p99Ms;
        std::printf("%-50s %9d %7llu %7llu %8.2f %8.2f %9.2f %9llu %9llu\n", scenario.label,
                    scenario.maxConnections, latency.answered, latency.failures, latency.p50Ms,
                    latency.p99Ms, idleP99 > 0 ? latency.p99Ms / idleP99 : 0.0,
                    attacker ? attacker->opened() : 0ULL,
                    attacker ? attacker->closedByServer() : 0ULL);
        std::fflush(stdout);
        if (latency.failures > 0)
            status = 1;
        attacker.reset();
        server.stop(SIGTERM);
    }
    return status == 0 ? 0 : bench.failed(QStringLiteral("some calls failed"));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench bench(QStringLiteral("sim"),
                QStringLiteral("accounting-sim's throughput against a bare Thrift server."));
    const QCommandLineOption floorServer(QStringLiteral("floor-server"),
                                         QStringLiteral("Serve as the floor (used by the run)."));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Measured time per cell (default 2; 40 a row"
                                                    " with --attack)."),
                                     QStringLiteral("S"), QStringLiteral("2"));
    const QCommandLineOption clients(QStringLiteral("clients"),
                                     QStringLiteral("Client counts (default 1,4,16,64)."),
                                     QStringLiteral("LIST"), QStringLiteral("1,4,16,64"));
    const QCommandLineOption sim(QStringLiteral("sim"),
                                 QStringLiteral("The accounting-sim to run."),
                                 QStringLiteral("PATH"), SimProcess::program());
    const QCommandLineOption compare(QStringLiteral("compare"),
                                     QStringLiteral("Another accounting-sim, as its own column."),
                                     QStringLiteral("PATH"));
    const QCommandLineOption ledger(QStringLiteral("ledger"),
                                    QStringLiteral("accounting-sim's ledger on MariaDB."),
                                    QStringLiteral("URL"));
    const QCommandLineOption galera(
        QStringLiteral("galera"),
        QStringLiteral("One accounting-sim on each of these Galera nodes, as a column."),
        QStringLiteral("URL,URL,..."));
    const QCommandLineOption attack(QStringLiteral("attack"),
                                    QStringLiteral("Times a till's calls under idle and slow"
                                                   " clients instead."));
    const QCommandLineOption workersOption(
        QStringLiteral("workers"), QStringLiteral("Workers of the floor (used by the run)."),
        QStringLiteral("N"), QString::number(defaultWorkers));
    bench.addOptions(
        {floorServer, seconds, clients, sim, compare, ledger, galera, attack, workersOption});
    if (QCoreApplication::arguments().contains(QStringLiteral("--floor-server"))) {
        // The floor itself: no working directory of its own.
        QCommandLineParser parser;
        parser.addOptions({floorServer, workersOption});
        parser.process(app);
        return FloorServer::run(parser.value(workersOption).toInt());
    }
    if (!bench.start(app))
        return 1;
    if (bench.isSet(attack))
        return runAttack(bench, bench.value(sim),
                         bench.isSet(seconds) ? bench.value(seconds).toDouble() : 40);
    const double measured = bench.value(seconds).toDouble();
    QVector<int> clientCounts;
    for (int count : bench.numbers(clients))
        clientCounts << count;

    // A card for each client of the largest count.
    const int mostClients = *std::max_element(clientCounts.begin(), clientCounts.end());
    const QString workers = QString::number(std::max(defaultWorkers, mostClients));
    QStringList cards;
    for (int c = 0; c < mostClients; ++c)
        cards << QStringLiteral("--card") << QStringLiteral("B%1=1000000000000000").arg(c);
    const auto simArguments = [&](const QString &ledgerAddress) {
        return QStringList {QStringLiteral("--listen"),  QStringLiteral("127.0.0.1:0"),
                            QStringLiteral("--db"),      ledgerAddress,
                            QStringLiteral("--workers"), workers}
        + cards;
    };
    const auto ledgerFile = [&](const QString &file) {
        return bench.isSet(ledger) ? bench.value(ledger) : bench.filePath(file);
    };
    std::vector<Column> columns;
    // A column of one server for each list of arguments.
    const auto addColumn
        = [&](const QString &name, const QString &program, const QList<QStringList> &arguments) {
              Column column;
              column.name = name;
              column.program = program;
              column.arguments = arguments;
              columns.push_back(std::move(column));
          };
    addColumn(QStringLiteral("floor"), QCoreApplication::applicationFilePath(),
              {{QStringLiteral("--floor-server"), QStringLiteral("--workers"), workers}});
    addColumn(QStringLiteral("sim"), bench.value(sim),
              {simArguments(ledgerFile(QStringLiteral("sim.db")))});
    if (bench.isSet(compare))
        addColumn(QStringLiteral("compare"), bench.value(compare),
                  {simArguments(ledgerFile(QStringLiteral("compare.db")))});
    if (bench.isSet(galera)) {
        QList<QStringList> nodes;
        for (const QString &node : bench.value(galera).split(QLatin1Char(','), Qt::SkipEmptyParts))
            nodes << simArguments(node);
        addColumn(QStringLiteral("galera"), bench.value(sim), nodes);
    }
    for (Column &column : columns) {
        // One after another: the first on a ledger adds the cards.
        for (int i = 0; i < column.arguments.size(); ++i) {
            column.servers.push_back(std::make_unique<SimProcess>());
            if (!startServer(bench, *column.servers.back(), column.program,
                             QStringLiteral("%1-%2").arg(column.name).arg(i + 1),
                             column.arguments.at(i)))
                return 1;
            column.ports << column.servers.back()->port();
        }
    }

    std::printf("accounting-sim throughput, %.1f s per cell, every server measured in turn\n",
                measured);
    std::printf("floor: a bare Thrift thread-pool server with an in-memory map; every server"
                " with %s workers\n",
                qPrintable(workers));
    if (bench.isSet(ledger))
        std::printf("sim:   %s, ledger %s\n", qPrintable(bench.value(sim)),
                    qPrintable(bench.value(ledger).section(QLatin1Char('?'), 0, 0)));
    else
        std::printf("sim:   %s, ledger SQLite (WAL, synchronous=FULL) in %s\n",
                    qPrintable(bench.value(sim)), qPrintable(bench.path()));
    if (bench.isSet(compare))
        std::printf("compare: %s\n", qPrintable(bench.value(compare)));
    if (bench.isSet(galera))
        std::printf("galera: one accounting-sim on each of %d Galera nodes, the clients spread"
                    " over them\n",
                    int(columns.back().servers.size()));
    QString names;
    QString simNames;
    for (const Column &column : columns) {
        names += QStringLiteral(" %1").arg(column.name, 9);
        if (&column != &columns.front())
            simNames += QStringLiteral(" %1").arg(column.name, 9);
    }
    std::printf("\n%-20s %-*s %-*s %s\n", "", int(names.size()) + 10, "balance calls/s",
                int(names.size()) + 10, "commits/s", "sale p99, ms");
    std::printf("%-8s %-11s%s  sim/floor  %s  sim/floor%s\n", "clients", "connection",
                qPrintable(names), qPrintable(names), qPrintable(simNames));

    quint64 failures = 0;
    for (bool fresh : {true, false}) {
        for (int clientCount : clientCounts) {
            std::vector<Cell> cells;
            for (Column &column : columns) {
                Cell cell;
                cell.balance = Load::run(column.ports, Load::Operation::Balance, clientCount, fresh,
                                         measured);
                cell.commits = Load::run(column.ports, Load::Operation::Commit, clientCount, fresh,
                                         measured);
                failures += cell.balance.failures + cell.commits.failures;
                cells.push_back(cell);
            }
            printRow(qPrintable(QString::number(clientCount)),
                     fresh ? QStringLiteral("fresh") : QStringLiteral("persistent"), cells);
        }
    }
    for (Column &column : columns) {
        for (auto &server : column.servers)
            server->stop(SIGTERM);
    }
    if (failures > 0)
        return bench.failed(QStringLiteral("%1 calls failed").arg(failures));
    return 0;
}
