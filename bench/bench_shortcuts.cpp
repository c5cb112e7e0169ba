// Each speed shortcut of the plug-in timed with it and without it, through
// the classes' own API, on real files in a temporary till tree and on the
// private MariaDB, and a sale through payment-host on loopback in the same
// interleaved rounds: what a shortcut saves is set against what the cashier
// waits for a sale.
//
//   bench_shortcuts [--rounds N] [--dir DIR]
//
// Where a class offers no way to run without its shortcut, the "without"
// side runs the path the shortcut skips: the settings file read while the
// cache holds another file's bytes, the journal looked at after its file
// was touched, a general-parser parse of the host's input line, and the
// status and print files each opened for every write. Prints the p50 of
// each side, what the shortcut saves at the p50 (and in each half of the
// rounds, to show how far it holds), and that saving as a share of the sale.

#include "Bench.h"
#include "HostProcess.h"
#include "MariaDbSandbox.h"
#include "Rounds.h"
#include "SimProcess.h"
#include "TempTill.h"

#include "BonusSettings.h"
#include "HostCommand.h"
#include "OperationJournal.h"
#include "ReceiptImage.h"
#include "RunFiles.h"
#include "TillDatabase.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

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
    TempTill hostTill(bench.path());
    TempTill till(bench.path());
    const QByteArray receipt = ReceiptImage::toBytes(1, QStringLiteral("1"), Bench::cashier());
    hostTill.writeCheckImageRaw(receipt);
    till.writeCheckImageRaw(receipt);

    MariaDbSandbox database;
    if (!database.start() || !database.addCardholder(Bench::card(), Bench::cashier())) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(database.errorString()));
        return 1;
    }
    SimProcess sim;
    if (!bench.startSim(sim, QStringLiteral("sim")))
        return 1;
    hostTill.writeSettings(Bench::settings(sim.port()));
    till.writeSettings(Bench::settings(sim.port()));
    // The same settings in other bytes, for a read the cache cannot answer.
    const QString otherSettings = till.settingsPath() + QStringLiteral(".other");
    TempTill::writeFile(otherSettings,
                        QJsonDocument(Bench::settings(sim.port())).toJson(QJsonDocument::Compact));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TILLHOUSE_ROOT"), hostTill.root());
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

    // The status and print files kept open from their emptying to the
    // answer, against each write opening its file.
    const QString slip = QStringLiteral("Бонусы\nКарта %1\nСумма 5.00\n").arg(Bench::card());
    const QString description = QStringLiteral("Успешное выполнение операции");
    RunFiles files;
    files.setPaths(till.statusPath(), till.printPath());
    shortcuts.push_back(
        {"the run's files kept open (RunFiles)", rounds.add([&] {
             files.start();
             bool ok = files.status(RunFiles::Empty, QString(), QString());
             ok = files.print(QString()) && ok;
             ok = files.print(slip) && ok;
             ok = files.status(RunFiles::Success, description, Bench::card()) && ok;
             files.close();
             return ok;
         }),
         rounds.add([&] {
             bool ok = writeBytes(till.statusPath(), QByteArray());
             ok = writeBytes(till.printPath(), QByteArray()) && ok;
             ok = writeInfo(till.printPath(), slip, QIODevice::WriteOnly) && ok;
             return writeInfo(till.statusPath(),
                              QStringLiteral("{ \"status\" : 0, \"description\" : \"%1\", "
                                             "\"cardNumber\" : \"%2\" }")
                                  .arg(description, Bench::card()),
                              QIODevice::WriteOnly)
                 && ok;
         })});

    // The card's lookup sent as the run starts and read after the run's
    // preparation, against the same preparation and then the lookup. The
    // preparation's journal is not the one touched below.
    OperationJournal preparedJournal(till.root() + QStringLiteral("/prepared.sqlite"));
    preparedJournal.open();
    RunFiles preparedFiles;
    preparedFiles.setPaths(till.statusPath(), till.printPath());
    const auto prepare = [&] {
        bool ok = BonusSettings::read(till.settingsPath()).isUsable();
        preparedFiles.start();
        ok = preparedFiles.status(RunFiles::Empty, QString(), QString()) && ok;
        ok = preparedFiles.print(QString()) && ok;
        preparedFiles.close();
        bool read = false;
        ReceiptImage::read(till.checkImagePath(), &read);
        return !preparedJournal.hasUnsettled() && read && ok;
    };
    TillDatabase tillDatabase;
    if (!tillDatabase.open())
        return bench.failed(QStringLiteral("the till's database: ") + tillDatabase.lastError());
    const auto findCard = [&] {
        TillDatabase::Card card {Bench::card(), QString(), QString()};
        tillDatabase.findCard(card, QString(), QString());
        return card.id == QLatin1String("7001");
    };
    // The connection sits idle between two of a till's operations.
    const auto idle = [] { QThread::msleep(5); };
    shortcuts.push_back({"the card's lookup sent early (EarlyLookup)",
                         rounds.add(
                             [&] {
                                 tillDatabase.lookAhead(Bench::card(), QString());
                                 const bool prepared = prepare();
                                 return findCard() && prepared;
                             },
                             idle),
                         rounds.add([&] { return prepare() && findCard(); }, idle)});

    // The settings file read while the cache holds its bytes, against a
    // read while it holds another file's.
    shortcuts.push_back(
        {"the settings parsed once (BonusSettings)",
         rounds.add([&] { return BonusSettings::read(till.settingsPath()).isUsable(); },
                    [&] { BonusSettings::read(till.settingsPath()); }),
         rounds.add([&] { return BonusSettings::read(till.settingsPath()).isUsable(); },
                    [&] { BonusSettings::read(otherSettings); })});

    // The journal asked for unsettled records while its files are as the
    // last look left them, against a look after a write (a touch) to them.
    OperationJournal journal(till.root() + QStringLiteral("/journal.sqlite"));
    journal.open();
    const QString unrelated = till.root() + QStringLiteral("/touched");
    TempTill::writeFile(unrelated, QByteArray());
    shortcuts.push_back(
        {"the journal's look skipped (OperationJournal)",
         rounds.add([&] { return !journal.hasUnsettled(); },
                    [&] {
                        journal.hasUnsettled();
                        touch(unrelated);
                    }),
         rounds.add([&] { return !journal.hasUnsettled(); }, [&] { touch(journal.path()); })});

    // A till's plain input line read by the host's own reader, against the
    // general parser.
    const QString line = QStringLiteral("sale 500 %1 --no-receipt").arg(Bench::card());
    shortcuts.push_back(
        {"the host's plain line reader (HostCommand)",
         rounds.add([&] { return HostCommand::parseLine(line).kind == HostCommand::Sale; }),
         rounds.add([&] {
             return HostCommand::parse(QProcess::splitCommand(line), HostCommand::InputLine).kind
                 == HostCommand::Sale;
         })});

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
