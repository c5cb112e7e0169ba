// Throughput of accounting-sim against the floor: a bare Thrift server of
// the same kind with an in-memory map, measured in the same run, cell by
// cell. Prints balance calls/s and commits/s (a sale: makePay, then
// commitTransaction) at 1, 4 and 16 clients, with a fresh connection for
// every call (as the till does) and with one kept connection per client.
//
//   bench_sim [--seconds S] [--clients 1,4,16] [--sim PATH] [--compare PATH] [--dir DIR]
//             [--ledger mysql://...]
//
// --compare adds a column for another accounting-sim build (an older one,
// say). The ledger is SQLite in DIR (default: the current directory), so
// every commit is synced to that disk; --ledger puts accounting-sim's on
// MariaDB instead (an empty database: scripts/bench --mariadb makes one).

#include "BenchServer.h"
#include "FloorServer.h"
#include "Load.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QVector>

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
                                     QStringLiteral("Client counts (default 1,4,16)."),
                                     QStringLiteral("LIST"), QStringLiteral("1,4,16"));
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
    parser.addOptions({floorServer, seconds, clients, sim, compare, dir, ledger});
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

    QStringList cards;
    for (int c = 0; c < 16; ++c)
        cards << QStringLiteral("--card") << QStringLiteral("B%1=1000000000000000").arg(c);
    const auto simArguments = [&](const QString &file) {
        return QStringList {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                            QStringLiteral("--db"),
                            parser.isSet(ledger) ? parser.value(ledger) : work.filePath(file)}
        + cards;
    };
    std::vector<std::unique_ptr<BenchServer>> servers;
    servers.push_back(std::make_unique<BenchServer>(QStringLiteral("floor"),
                                                    QCoreApplication::applicationFilePath(),
                                                    QStringList {QStringLiteral("--floor-server")},
                                                    work.filePath(QStringLiteral("floor.log"))));
    servers.push_back(std::make_unique<BenchServer>(QStringLiteral("sim"), parser.value(sim),
                                                    simArguments(QStringLiteral("sim.db")),
                                                    work.filePath(QStringLiteral("sim.log"))));
    if (parser.isSet(compare))
        servers.push_back(
            std::make_unique<BenchServer>(QStringLiteral("compare"), parser.value(compare),
                                          simArguments(QStringLiteral("compare.db")),
                                          work.filePath(QStringLiteral("compare.log"))));
    for (auto &server : servers) {
        if (!server->start())
            return 1;
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
    const QString names = parser.isSet(compare) ? QStringLiteral("    floor       sim   compare")
                                                : QStringLiteral("    floor       sim");
    const int column = int(names.size()) + 10;
    std::printf("\n%-20s %-*s %-*s\n", "", column, "balance calls/s", column, "commits/s");
    std::printf("%-8s %-11s%s  sim/floor  %s  sim/floor\n", "clients", "connection",
                qPrintable(names), qPrintable(names));

    quint64 failures = 0;
    for (bool fresh : {true, false}) {
        for (int clientCount : clientCounts) {
            std::vector<Cell> cells;
            for (auto &server : servers) {
                Cell cell;
                cell.balance = Load::run(server->port(), Load::Operation::Balance, clientCount,
                                         fresh, measured);
                cell.commits = Load::run(server->port(), Load::Operation::Commit, clientCount,
                                         fresh, measured);
                failures += cell.balance.failures + cell.commits.failures;
                cells.push_back(cell);
            }
            printRow(qPrintable(QString::number(clientCount)),
                     fresh ? QStringLiteral("fresh") : QStringLiteral("persistent"), cells);
        }
    }
    for (auto &server : servers)
        server->stop();
    if (failures > 0) {
        std::printf("\n%llu calls failed (see the logs in %s)\n", failures,
                    qPrintable(work.path()));
        work.setAutoRemove(false);
        return 1;
    }
    return 0;
}
