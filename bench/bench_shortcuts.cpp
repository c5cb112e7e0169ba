// Each speed shortcut of the plug-in timed with it and without it, through
// the classes' own API, on real files in a temporary till tree and on the
// private MariaDB, and a sale through payment-host on loopback in the same
// interleaved rounds: what a shortcut saves is set against what the cashier
// waits for a sale.
//
//   bench_shortcuts [--rounds N] [--dir DIR]
//
// Where a class offers no way to run without its shortcut, the "without"
// side runs the path the shortcut skips: the journal is looked at after a
// touch of its file. Prints the p50 of each side, what the shortcut saves
// at the p50 (and in each half of the rounds, to show how far it holds),
// and that saving as a share of the sale.

#include "Bench.h"
#include "HostProcess.h"
#include "MariaDbSandbox.h"
#include "Rounds.h"
#include "SimProcess.h"
#include "TempTill.h"

#include "OperationJournal.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Shortcut
{
    const char *name;
    int with;
    int without;
};

// A new time of change for the file, as any write gives it.
void touch(const QString &path)
{
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), nullptr, 0);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench bench(QStringLiteral("shortcuts"),
                QStringLiteral("Each speed shortcut of the plug-in, with it and without it."));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Timed rounds (default 2000)."),
                                          QStringLiteral("N"), QStringLiteral("2000"));
    bench.addOptions({roundsOption});
    if (!bench.start(app))
        return 1;

    // The host's tree, and this process's (the later one is TILLHOUSE_ROOT).
    const std::unique_ptr<TempTill> hostTill = bench.till();
    const std::unique_ptr<TempTill> till = bench.till();

    MariaDbSandbox database;
    if (!Bench::startDatabase(database))
        return 1;
    SimProcess sim;
    if (!bench.startSim(sim, QStringLiteral("sim")))
        return 1;
    hostTill->writeSettings(Bench::settings(sim.port()));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TILLHOUSE_ROOT"), hostTill->root());
    HostProcess host({QStringLiteral("--json"), QStringLiteral("-")}, environment);
    if (!host.start())
        return bench.failed(QStringLiteral("payment-host did not start"));

    Rounds rounds(20261209);
    std::vector<Shortcut> shortcuts;
    QByteArray answer;
    const int sale = rounds.add(
        [&] {
            answer = host.ask("sale " + QByteArray::number(100 + rounds.random().bounded(900)) + ' '
                              + Bench::card().toUtf8() + " --no-receipt");
            return !answer.isEmpty();
        },
        {},
        [&] {
            return QJsonDocument::fromJson(answer)
                .object()
                .value(QStringLiteral("success"))
                .toBool();
        });

    // The journal asked for unsettled records while its files are as the
    // last look left them, against a look after a write (a touch) to them.
    OperationJournal journal(till->root() + QStringLiteral("/journal.sqlite"));
    journal.open();
    const QString unrelated = till->root() + QStringLiteral("/touched");
    TempTill::writeFile(unrelated, QByteArray());
    shortcuts.push_back(
        {"the journal's look skipped (OperationJournal)",
         rounds.add([&] { return !journal.hasUnsettled(); },
                    [&] {
                        journal.hasUnsettled();
                        touch(unrelated);
                    }),
         rounds.add([&] { return !journal.hasUnsettled(); }, [&] { touch(journal.path()); })});

    // What the set-up wrote (the database's new files above all) goes to the
    // disk now, not while the sales' journals and ledger are timed.
    ::sync();
    const int total = bench.value(roundsOption).toInt();
    rounds.run(total, 20);
    host.finish();

    const double saleMs = rounds.percentile(sale, 0.5);
    std::printf("speed shortcuts, each with it and without it, %d rounds, interleaved with a sale "
                "through payment-host on loopback: p50 %.2f ms\n\n",
                total, saleMs);
    std::printf("%-46s %11s %11s %11s %10s %19s\n", "shortcut", "with p50", "without p50", "saves",
                "of a sale", "saves, each half");
    const auto half = [&](int task, int which) {
        const std::vector<double> &all = rounds.samples(task);
        const auto middle = all.begin() + long(all.size() / 2);
        return Bench::percentile(which == 0 ? std::vector<double>(all.begin(), middle)
                                            : std::vector<double>(middle, all.end()),
                                 0.5);
    };
    for (const Shortcut &shortcut : shortcuts) {
        const double with = rounds.percentile(shortcut.with, 0.5) * 1000;
        const double without = rounds.percentile(shortcut.without, 0.5) * 1000;
        const double saves = without - with;
        std::printf("%-46s %8.1f µs %8.1f µs %8.1f µs %9.2f%% %8.1f / %5.1f µs\n", shortcut.name,
                    with, without, saves, saves / (saleMs * 1000) * 100,
                    (half(shortcut.without, 0) - half(shortcut.with, 0)) * 1000,
                    (half(shortcut.without, 1) - half(shortcut.with, 1)) * 1000);
    }
    std::fflush(stdout);
    if (!rounds.ok())
        return bench.failed(QStringLiteral("some operations failed"));
    return 0;
}
