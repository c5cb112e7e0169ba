// Throughput of accounting-sim against the floor: a bare Thrift server of
// the same kind with an in-memory map, measured in the same run, cell by
// cell. Prints balance calls/s and commits/s (a sale: makePay, then
// commitTransaction) at 1, 4, 16 and 64 clients, with a fresh connection
// for every call (as the till does) and with one kept connection per
// client, and the 99th percentile of a sale's time.
//
//   bench_sim [--seconds S] [--clients 1,4,16,64] [--sim PATH] [--compare PATH] [--dir DIR]
//             [--ledger mysql://...] [--galera mysql://...,mysql://...,...]
//
// --compare adds a column for another accounting-sim build (an older one,
// say). The ledger is SQLite in DIR (default: the current directory), so
// every commit is synced to that disk; --ledger puts accounting-sim's on
// MariaDB instead (an empty database: scripts/bench --mariadb makes one).
// --galera adds a column for one accounting-sim on each node of a Galera
// cluster, the clients spread over them (scripts/bench --galera makes it).

#include "BenchServer.h"
#include "FloorServer.h"
#include "Load.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int workers = 32;

struct Cell
{
    Load::Outcome balance;
    Load::Outcome commits;
};

// One column of the table: a server, or several on one ledger.
struct Column
{
    QString name;
    std::vector<std::unique_ptr<BenchServer>> servers;
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption floorServer(QStringLiteral("floor-server"),
                                         QStringLiteral("Serve as the floor (used by the run)."));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Measured time per cell (default 2)."),
                                     QStringLiteral("S"), QStringLiteral("2"));
    const QCommandLineOption clients(QStringLiteral("clients"),
                                     QStringLiteral("Client counts (default 1,4,16,64)."),
                                     QStringLiteral("LIST"), QStringLiteral("1,4,16,64"));
    const QCommandLineOption sim(QStringLiteral("sim"),
                                 QStringLiteral("The accounting-sim to run."),
                                 QStringLiteral("PATH"), QStringLiteral(ACCOUNTING_SIM_PATH));
    const QCommandLineOption compare(QStringLiteral("compare"),
                                     QStringLiteral("Another accounting-sim, as its own column."),
                                     QStringLiteral("PATH"));
    const QCommandLineOption dir(QStringLiteral("dir"),
                                 QStringLiteral("Where the ledgers go (default: here)."),
                                 QStringLiteral("DIR"), QDir::currentPath());
    const QCommandLineOption ledger(QStringLiteral("ledger"),
                                    QStringLiteral("accounting-sim's ledger on MariaDB."),
                                    QStringLiteral("URL"));
    const QCommandLineOption galera(
        QStringLiteral("galera"),
        QStringLiteral("One accounting-sim on each of these Galera nodes, as a column."),
        QStringLiteral("URL,URL,..."));
    parser.addOptions({floorServer, seconds, clients, sim, compare, dir, ledger, galera});
    parser.process(app);
    if (parser.isSet(floorServer))
        return FloorServer::run(workers);

    QTemporaryDir work(parser.value(dir) + QStringLiteral("/bench-sim-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "bench: cannot make a directory in %s\n",
                     qPrintable(parser.value(dir)));
        return 1;
    }
    const double measured = parser.value(seconds).toDouble();
    QVector<int> clientCounts;
    for (const QString &count : parser.value(clients).split(QLatin1Char(',')))
        clientCounts << count.toInt();

    // A card for each client of the largest count.
    QStringList cards;
    for (int c = 0; c < *std::max_element(clientCounts.begin(), clientCounts.end()); ++c)
        cards << QStringLiteral("--card") << QStringLiteral("B%1=1000000000000000").arg(c);
    const auto simArguments = [&](const QString &ledgerAddress) {
        return QStringList {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                            QStringLiteral("--db"), ledgerAddress}
        + cards;
    };
    const auto ledgerFile = [&](const QString &file) {
        return parser.isSet(ledger) ? parser.value(ledger) : work.filePath(file);
    };
    std::vector<Column> columns;
    // A column of one server for each list of arguments.
    const auto addColumn
        = [&](const QString &name, const QString &program, const QList<QStringList> &arguments) {
              Column column;
              column.name = name;
              for (int i = 0; i < arguments.size(); ++i)
                  column.servers.push_back(std::make_unique<BenchServer>(
                      name, program, arguments.at(i),
                      work.filePath(QStringLiteral("%1-%2.log").arg(name).arg(i + 1))));
              columns.push_back(std::move(column));
          };
    addColumn(QStringLiteral("floor"), QCoreApplication::applicationFilePath(),
              {{QStringLiteral("--floor-server")}});
    addColumn(QStringLiteral("sim"), parser.value(sim),
              {simArguments(ledgerFile(QStringLiteral("sim.db")))});
    if (parser.isSet(compare))
        addColumn(QStringLiteral("compare"), parser.value(compare),
                  {simArguments(ledgerFile(QStringLiteral("compare.db")))});
    if (parser.isSet(galera)) {
        QList<QStringList> nodes;
        for (const QString &node : parser.value(galera).split(QLatin1Char(','), Qt::SkipEmptyParts))
            nodes << simArguments(node);
        addColumn(QStringLiteral("galera"), parser.value(sim), nodes);
    }
    for (Column &column : columns) {
        // One after another: the first on a ledger adds the cards.
        for (auto &server : column.servers) {
            if (!server->start())
                return 1;
            column.ports << server->port();
        }
    }

    std::printf("accounting-sim throughput, %.1f s per cell, every server measured in turn\n",
                measured);
    std::printf("floor: a bare Thrift thread-pool server (%d workers) with an in-memory map\n",
                workers);
    if (parser.isSet(ledger))
        std::printf("sim:   %s, ledger %s\n", qPrintable(parser.value(sim)),
                    qPrintable(parser.value(ledger).section(QLatin1Char('?'), 0, 0)));
    else
        std::printf("sim:   %s, ledger SQLite (WAL, synchronous=FULL) in %s\n",
                    qPrintable(parser.value(sim)), qPrintable(work.path()));
    if (parser.isSet(compare))
        std::printf("compare: %s\n", qPrintable(parser.value(compare)));
    if (parser.isSet(galera))
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
            server->stop();
    }
    if (failures > 0) {
        std::printf("\n%llu calls failed (see the logs in %s)\n", failures,
                    qPrintable(work.path()));
        work.setAutoRemove(false);
        return 1;
    }
    return 0;
}
