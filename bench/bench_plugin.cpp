// The plug-in against the floor: a direct client that does what a balance
// and a sale must do and nothing more (FloorClient). Both talk to the same
// accounting-sim and the same private MariaDB, interleaved in one run, so
// whatever the machine does meanwhile falls on both alike. The plug-in runs
// in a long-lived payment-host, as a till keeps it loaded; several of them
// in turn share the timed run.
//
//   bench_plugin [--operations N] [--host-processes N] [--rss-operations N]
//                [--dir DIR] [--label TEXT] [--no-rss] [--no-dead-endpoint]
//                [--ledger mysql://...] [--no-in-process]
//
// Prints p50 and p99 per operation on each side and their ratio (and the
// balance's p50 ratio in each host process), and the same for the plug-in
// loaded into this process, where no host and no pipe stand between; the
// resident size of the host over --rss-operations operations; and what a
// dead first server (SYNs dropped) costs, once, then per operation, and
// when its 60 s rest ends (the run waits for that).

#include "Bench.h"
#include "DroppingPort.h"
#include "FloorClient.h"
#include "HostProcess.h"
#include "MariaDbSandbox.h"
#include "PluginHandle.h"
#include "Rounds.h"
#include "SimProcess.h"
#include "TempTill.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

// The receipt image is the till's to write, and is written once before the
// run: the plug-in's side is timed for the plug-in's work, as the floor's is.
QByteArray saleCommand(qint64 kopecks)
{
    return "sale " + QByteArray::number(kopecks) + ' ' + Bench::card().toUtf8() + " --no-receipt";
}

QByteArray balanceCommand()
{
    return "balance " + Bench::card().toUtf8();
}

bool succeeded(const QByteArray &answer)
{
    return QJsonDocument::fromJson(answer).object().value(QStringLiteral("success")).toBool();
}

// A long-lived `payment-host --json -` on the till tree at `root`.
std::unique_ptr<HostProcess> startHost(const QString &root)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TILLHOUSE_ROOT"), root);
    auto host = std::make_unique<HostProcess>(
        QStringList {QStringLiteral("--json"), QStringLiteral("-")}, environment);
    if (!host->start())
        return nullptr;
    return host;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench bench(
        QStringLiteral("plugin"),
        QStringLiteral("The plug-in in payment-host and in this process against the floor."));
    const QCommandLineOption operations(
        QStringLiteral("operations"),
        QStringLiteral("Balances and sales per side in the timed run (default 5000 each)."),
        QStringLiteral("N"), QStringLiteral("5000"));
    const QCommandLineOption hostProcesses(
        QStringLiteral("host-processes"),
        QStringLiteral(
            "Host processes, one after the other, that share the timed run (default 4)."),
        QStringLiteral("N"), QStringLiteral("4"));
    const QCommandLineOption rssOperations(
        QStringLiteral("rss-operations"),
        QStringLiteral("Operations over which the host's size is watched (default 10000)."),
        QStringLiteral("N"), QStringLiteral("10000"));
    const QCommandLineOption label(QStringLiteral("label"),
                                   QStringLiteral("A word on the network, for the heading."),
                                   QStringLiteral("TEXT"), QStringLiteral("loopback"));
    const QCommandLineOption noRss(QStringLiteral("no-rss"),
                                   QStringLiteral("Skip the size over many operations."));
    const QCommandLineOption noDead(QStringLiteral("no-dead-endpoint"),
                                    QStringLiteral("Skip the dead first server."));
    const QCommandLineOption ledger(QStringLiteral("ledger"),
                                    QStringLiteral("accounting-sim's ledger on MariaDB."),
                                    QStringLiteral("URL"));
    const QCommandLineOption noInProcess(
        QStringLiteral("no-in-process"),
        QStringLiteral("Skip the plug-in loaded into this process."));
    bench.addOptions(
        {operations, hostProcesses, rssOperations, label, noRss, noDead, ledger, noInProcess});
    if (!bench.start(app))
        return 1;

    // One till tree for the hosts and one for this process (the floor's
    // receipt, the plug-in loaded here): two plug-ins on one tree would see
    // each other's journal writes and check them, as no till does. The
    // later one is this process's TILLHOUSE_ROOT.
    const std::unique_ptr<TempTill> till = bench.till();
    const std::unique_ptr<TempTill> ownTill = bench.till();

    MariaDbSandbox database;
    if (!Bench::startDatabase(database))
        return 1;
    SimProcess sim;
    if (!bench.startSim(sim, QStringLiteral("sim"),
                        bench.isSet(ledger)
                            ? QStringList {QStringLiteral("--db"), bench.value(ledger)}
                            : QStringList()))
        return 1;
    till->writeSettings(Bench::settings(sim.port()));
    ownTill->writeSettings(Bench::settings(sim.port()));

    FloorClient floor(Bench::terminal(), sim.port(),
                      bench.filePath(QStringLiteral("floor-journal.sqlite")));
    if (!floor.open())
        return 1;

    // The same plug-in in this process, as the till itself loads it: what the
    // host and its pipe add shows as the difference.
    const bool inProcess = !bench.isSet(noInProcess);
    PluginHandle loaded;
    if (inProcess && !loaded.plugin()) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(loaded.errorString()));
        return 1;
    }

    // Several host processes one after the other, each with its share of
    // the rounds: where the scheduler puts a process moves its latency by
    // more than most changes to the plug-in do, and one process is one
    // draw of that.
    std::unique_ptr<HostProcess> host;
    Rounds rounds(20261208);
    // The host's answer is read inside the clock and parsed outside it: the
    // floor's answer is a bool, and parsing is the till's work, not the
    // plug-in's.
    QByteArray answer;
    const auto kopecks = [&] { return 100 + int(rounds.random().bounded(900)); };
    const auto answered = [&] { return succeeded(answer); };
    // Samples: host balance, floor balance, host sale, floor sale, then the
    // plug-in in this process, balance and sale.
    rounds.add([&] { return !(answer = host->ask(balanceCommand())).isEmpty(); }, {}, answered);
    rounds.add([&] { return floor.balance(Bench::card()); });
    rounds.add([&] { return !(answer = host->ask(saleCommand(kopecks()))).isEmpty(); }, {},
               answered);
    rounds.add([&] { return floor.sale(Bench::card(), kopecks(), Bench::cashier()); });
    if (inProcess) {
        rounds.add([&] { return loaded.balance(Bench::card()).isSuccess(); });
        rounds.add([&] { return loaded.sale(kopecks(), Bench::card()).isSuccess(); });
    }

    // What the set-up wrote (the database's new files above all) goes to the
    // disk now, not while the plug-in's files and journals are timed.
    ::sync();
    std::vector<double> sessionRatios;
    const int total = bench.value(operations).toInt();
    const int sessions = qMax(1, bench.value(hostProcesses).toInt());
    for (int session = 0; session < sessions; ++session) {
        if (!(host = startHost(till->root())))
            return bench.failed(QStringLiteral("payment-host did not start"));
        const size_t from = rounds.samples(0).size();
        rounds.run(total / sessions + (session < total % sessions ? 1 : 0), 20);
        double p50[2];
        for (int task = 0; task < 2; ++task) {
            const std::vector<double> &all = rounds.samples(task);
            p50[task]
                = Bench::percentile(std::vector<double>(all.begin() + long(from), all.end()), 0.5);
        }
        sessionRatios.push_back(p50[0] / p50[1]);
        if (session + 1 < sessions)
            host->finish();
    }

    std::printf("plug-in (payment-host --json -, %d processes in turn) against the floor, %s, %d "
                "of each, interleaved\n\n",
                sessions, qPrintable(bench.value(label)), total);
    std::printf("%-9s %12s %12s %12s %12s %10s %10s\n", "operation", "plug-in p50", "plug-in p99",
                "floor p50", "floor p99", "ratio p50", "ratio p99");
    const auto printRow = [&](int kind, int pluginSamples) {
        const double p50 = rounds.percentile(pluginSamples, 0.50);
        const double p99 = rounds.percentile(pluginSamples, 0.99);
        const double f50 = rounds.percentile(2 * kind + 1, 0.50);
        const double f99 = rounds.percentile(2 * kind + 1, 0.99);
        std::printf("%-9s %9.2f ms %9.2f ms %9.2f ms %9.2f ms %10.2f %10.2f\n",
                    kind == 0 ? "balance" : "sale", p50, p99, f50, f99, p50 / f50, p99 / f99);
    };
    for (int kind = 0; kind < 2; ++kind)
        printRow(kind, 2 * kind);
    if (inProcess) {
        std::printf("in the bench's own process, no host:\n");
        for (int kind = 0; kind < 2; ++kind)
            printRow(kind, 4 + kind);
    }
    std::printf("balance p50 ratio in each host process:");
    for (double ratio : sessionRatios)
        std::printf(" %.2f", ratio);
    std::printf("\n");
    std::fflush(stdout);
    bool ok = rounds.ok();

    if (!bench.isSet(noRss)) {
        // Half balances, half sales; the size after the first thousand is
        // the base, so start-up and first-use allocations do not count.
        const int operationsWatched = bench.value(rssOperations).toInt();
        const int half = operationsWatched / 2;
        qint64 base = 0;
        qint64 middle = 0;
        for (int i = 1; i <= operationsWatched; ++i) {
            ok = succeeded(host->ask(i % 2 ? balanceCommand() : saleCommand(100))) && ok;
            if (i == 1000)
                base = host->residentKiB();
            if (i == half)
                middle = host->residentKiB();
        }
        const qint64 end = host->residentKiB();
        const auto perThousand = [](qint64 from, qint64 to, int count) {
            return count > 0 ? double(to - from) / (count / 1000.0) : 0.0;
        };
        // The allocator and the caches settle over the first few thousand
        // operations; the second half shows what each further one costs.
        std::printf("\nresident size of payment-host over %d operations: %lld kB after 1000, %lld "
                    "kB after %d, %lld kB after %d: %+.2f kB per 1000 operations from 1000 on, "
                    "%+.2f over the second half\n",
                    operationsWatched, base, middle, half, end, operationsWatched,
                    perThousand(base, end, operationsWatched - 1000),
                    perThousand(middle, end, operationsWatched - half));
        std::fflush(stdout);
    }
    host->finish();

    if (!bench.isSet(noDead)) {
        // A new process with a dead server listed first: the first call
        // waits out the connect limit; later ones, in this process and in
        // the next 60 s, go to the live server straight away.
        DroppingPort dead;
        QJsonObject settings = Bench::settings(sim.port());
        settings.insert(
            QStringLiteral("servers"),
            QJsonArray {QJsonObject {{QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                                     {QStringLiteral("port"), dead.port()}},
                        QJsonObject {{QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                                     {QStringLiteral("port"), int(sim.port())}}});
        till->writeSettings(settings);
        const std::unique_ptr<HostProcess> fresh = startHost(till->root());
        if (!fresh)
            return bench.failed(QStringLiteral("payment-host did not start"));
        Rounds first(1);
        first.add([&] { return succeeded(fresh->ask(balanceCommand())); });
        first.run(1);
        int next = 0;
        Rounds later(1);
        later.add([&] {
            return succeeded(fresh->ask(next++ % 2 ? balanceCommand() : saleCommand(100)));
        });
        later.run(50);
        // When the dead server's rest ends, the first operation after it
        // goes to the live one while a probe tries the dead one.
        ::sleep(61);
        Rounds rested(1);
        rested.add([&] { return succeeded(fresh->ask(balanceCommand())); });
        rested.run(10);
        ok = first.ok() && later.ok() && rested.ok() && ok;
        const double firstMs = first.samples(0).front();
        const double liveBalance = rounds.percentile(0, 0.50);
        const double liveSale = rounds.percentile(2, 0.50);
        const std::vector<double> &laterMs = later.samples(0);
        const std::vector<double> &restedMs = rested.samples(0);
        std::printf(
            "\ndead first server (SYNs dropped, connect limit 1000 ms):\n"
            "  first operation of the process: %.1f ms (%.1f ms more than without it)\n"
            "  next 50 operations: p50 %.2f ms, max %.2f ms (live-only p50: balance %.2f "
            "ms, sale %.2f ms)\n"
            "  after its 60 s rest: first balance %.2f ms, next 9: p50 %.2f ms, max %.2f "
            "ms\n",
            firstMs, firstMs - liveBalance, later.percentile(0, 0.5),
            *std::max_element(laterMs.begin(), laterMs.end()), liveBalance, liveSale,
            restedMs.front(),
            Bench::percentile(std::vector<double>(restedMs.begin() + 1, restedMs.end()), 0.5),
            *std::max_element(restedMs.begin() + 1, restedMs.end()));
        fresh->finish();
        till->writeSettings(Bench::settings(sim.port()));
    }

    if (!ok)
        return bench.failed(QStringLiteral("some operations failed"));
    return 0;
}
