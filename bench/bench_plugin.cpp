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

#include "BenchServer.h"
#include "DeadEndpoint.h"
#include "FloorClient.h"
#include "HostSession.h"

#include "AbstractPaymentProcessing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPluginLoader>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

const QString card = QStringLiteral("2000123456789");
const QString terminal = QStringLiteral("BENCH-1");
const QString cashier = QStringLiteral("17");

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const size_t index = std::min(samples.size() - 1, size_t(p * double(samples.size())));
    return samples[index];
}

double timed(const std::function<bool()> &work, bool *ok)
{
    QElapsedTimer clock;
    clock.start();
    *ok = work() && *ok;
    return double(clock.nsecsElapsed()) / 1e6;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

void writeSettings(const QString &root, const QJsonObject &settings)
{
    writeFile(root + QStringLiteral("/cash/conf/bonus_credit.conf"),
              QJsonDocument(settings).toJson());
}

QJsonObject settingsFor(quint16 port)
{
    return {{QStringLiteral("terminalId"), terminal},
            {QStringLiteral("address"), QStringLiteral("127.0.0.1")},
            {QStringLiteral("port"), port},
            {QStringLiteral("connectTimeout"), 1000},
            {QStringLiteral("recvTimeout"), 5000},
            {QStringLiteral("sendTimeout"), 5000}};
}

// The receipt image is the till's to write, and is written once before the
// run: the plug-in's side is timed for the plug-in's work, as the floor's is.
QByteArray saleCommand(qint64 kopecks)
{
    return "sale " + QByteArray::number(kopecks) + ' ' + card.toUtf8() + " --no-receipt";
}

bool succeeded(const QByteArray &answer)
{
    return QJsonDocument::fromJson(answer).object().value(QStringLiteral("success")).toBool();
}

// A private MariaDB made by the project's script, as the tests make theirs.
class Database
{
public:
    explicit Database(const QString &directory)
        : directory(directory)
    {
    }
    ~Database() { script({QStringLiteral("stop"), directory}); }

    bool start(const QString &seed)
    {
        QByteArray out;
        if (!script({QStringLiteral("start"), directory, seed}, &out))
            return false;
        for (const QByteArray &line : out.split('\n')) {
            if (line.startsWith("MYSQL_UNIX_PORT="))
                qputenv("MYSQL_UNIX_PORT", line.mid(16));
        }
        return qEnvironmentVariableIsSet("MYSQL_UNIX_PORT");
    }

private:
    static bool script(const QStringList &arguments, QByteArray *out = nullptr)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("bash"),
                      QStringList {QStringLiteral(BONUS_SOURCE_DIR "/scripts/mariadb-sandbox")}
                          + arguments);
        if (!process.waitForFinished(120000))
            return false;
        if (out)
            *out = process.readAllStandardOutput();
        return process.exitCode() == 0;
    }

    const QString directory;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
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
    const QCommandLineOption dir(QStringLiteral("dir"),
                                 QStringLiteral("Where the ledgers and journals go."),
                                 QStringLiteral("DIR"), QDir::currentPath());
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
    parser.addOptions(
        {operations, hostProcesses, rssOperations, dir, label, noRss, noDead, ledger, noInProcess});
    parser.process(app);

    QTemporaryDir work(parser.value(dir) + QStringLiteral("/bench-plugin-XXXXXX"));
    if (!work.isValid())
        return 1;
    // One till tree for the hosts and one for this process (the floor's
    // receipt, the plug-in loaded here): two plug-ins on one tree would see
    // each other's journal writes and check them, as no till does.
    const QString till = work.filePath(QStringLiteral("till"));
    const QString ownTill = work.filePath(QStringLiteral("till-own"));
    for (const QString &root : {till, ownTill}) {
        for (const char *sub :
             {"cash/conf", "cash/paysystems/bonuscredit", "cash/data/tmp", "cash/log"})
            QDir(root).mkpath(QLatin1String(sub));
        writeFile(root + QStringLiteral("/cash/data/tmp/check.img"),
                  R"({"num":1,"cashCode":"1","cashierCode":"17"})");
    }
    qputenv("TILLHOUSE_ROOT", ownTill.toUtf8());

    writeFile(work.filePath(QStringLiteral("seed.sql")),
              QStringLiteral("INSERT INTO card (number, idclient, idcard) VALUES ('%1', '501', "
                             "'7001');\nINSERT INTO client (idClient, name) VALUES ('501', "
                             "'Тестов Тест');\nINSERT INTO mol (code, name) VALUES ('%2', "
                             "'Кассирова Мария');\n")
                  .arg(card, cashier)
                  .toUtf8());
    Database database(work.filePath(QStringLiteral("mariadb")));
    if (!database.start(work.filePath(QStringLiteral("seed.sql")))) {
        std::fprintf(stderr, "bench: the MariaDB sandbox did not start\n");
        return 1;
    }
    BenchServer sim(QStringLiteral("sim"), QStringLiteral(ACCOUNTING_SIM_PATH),
                    {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                     QStringLiteral("--db"),
                     parser.isSet(ledger) ? parser.value(ledger)
                                          : work.filePath(QStringLiteral("ledger.sqlite")),
                     QStringLiteral("--card"), card + QStringLiteral("=1000000000000000"),
                     QStringLiteral("--terminal"), terminal},
                    work.filePath(QStringLiteral("sim.log")));
    if (!sim.start())
        return 1;
    writeSettings(till, settingsFor(sim.port()));
    writeSettings(ownTill, settingsFor(sim.port()));

    FloorClient floor(terminal, sim.port(), work.filePath(QStringLiteral("floor-journal.sqlite")));
    if (!floor.open())
        return 1;
    // Several host processes one after the other, each with its share of
    // the rounds: where the scheduler puts a process moves its latency by
    // more than most changes to the plug-in do, and one process is one
    // draw of that.
    std::unique_ptr<HostSession> host;
    const auto startHost = [&] {
        host = std::make_unique<HostSession>(QStringLiteral(PAYMENT_HOST_PATH),
                                             QStringLiteral(PLUGIN_PATH), till);
        return host->start();
    };

    // The same plug-in in this process, as the till itself loads it: what the
    // host and its pipe add shows as the difference.
    const bool inProcess = !parser.isSet(noInProcess);
    QPluginLoader loader(QStringLiteral(PLUGIN_PATH));
    AbstractPaymentProcessing *loaded = nullptr;
    if (inProcess) {
        loaded = qobject_cast<AbstractPaymentProcessing *>(loader.instance());
        if (!loaded) {
            std::fprintf(stderr, "bench: %s\n", qPrintable(loader.errorString()));
            return 1;
        }
    }
    const auto paid = [&](qint64 kopecks) {
        PaymentProcessingRequest request;
        request.amount = int(kopecks);
        request.cardNumber = card;
        request.type = EPaymentProcessingRequest::Sale;
        return loaded->payment(request).isSuccess();
    };

    bool ok = true;
    QRandomGenerator random(20261208);
    // The host's answer is read inside the clock and parsed outside it: the
    // floor's answer is a bool, and parsing is the till's work, not the
    // plug-in's.
    QByteArray answer;
    const std::function<bool()> tasks[6] = {
        [&] { return !(answer = host->ask("balance " + card.toUtf8())).isEmpty(); },
        [&] { return floor.balance(card); },
        [&] { return !(answer = host->ask(saleCommand(100 + random.bounded(900)))).isEmpty(); },
        [&] { return floor.sale(card, 100 + random.bounded(900), cashier); },
        [&] { return loaded->balance(card).isSuccess(); },
        [&] { return paid(100 + random.bounded(900)); },
    };
    const auto run = [&](int task) {
        answer.clear();
        const double ms = timed(tasks[task], &ok);
        if (task < 4 && task % 2 == 0)
            ok = succeeded(answer) && ok;
        return ms;
    };

    const int kinds = inProcess ? 6 : 4;
    std::vector<double> samples[6];
    // What the set-up wrote (the database's new files above all) goes to the
    // disk now, not while the plug-in's files and journals are timed.
    ::sync();
    std::vector<double> sessionRatios;
    const int rounds = parser.value(operations).toInt();
    const int sessions = qMax(1, parser.value(hostProcesses).toInt());
    for (int session = 0; session < sessions; ++session) {
        if (!startHost())
            return 1;
        // Warm both up: the first runs open files, connections and caches.
        for (int i = 0; i < 20; ++i) {
            for (int task = 0; task < kinds; ++task)
                run(task);
        }
        std::vector<double> own[2];
        const int share = rounds / sessions + (session < rounds % sessions ? 1 : 0);
        for (int round = 0; round < share; ++round) {
            int order[6] = {0, 1, 2, 3, 4, 5};
            std::shuffle(order, order + kinds, random);
            for (int task : std::vector<int>(order, order + kinds)) {
                const double ms = run(task);
                samples[task].push_back(ms);
                if (task < 2)
                    own[task].push_back(ms);
            }
        }
        sessionRatios.push_back(percentile(own[0], 0.5) / percentile(own[1], 0.5));
    }

    std::printf("plug-in (payment-host --json -, %d processes in turn) against the floor, %s, %d "
                "of each, interleaved\n\n",
                sessions, qPrintable(parser.value(label)), rounds);
    std::printf("%-9s %12s %12s %12s %12s %10s %10s\n", "operation", "plug-in p50", "plug-in p99",
                "floor p50", "floor p99", "ratio p50", "ratio p99");
    // Samples: host balance, floor balance, host sale, floor sale, then the
    // plug-in in this process, balance and sale.
    const auto printRow = [&](int kind, int pluginSamples) {
        const std::vector<double> &plugin = samples[pluginSamples];
        const std::vector<double> &floorSide = samples[2 * kind + 1];
        const double p50 = percentile(plugin, 0.50);
        const double p99 = percentile(plugin, 0.99);
        const double f50 = percentile(floorSide, 0.50);
        const double f99 = percentile(floorSide, 0.99);
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

    if (!parser.isSet(noRss)) {
        // Half balances, half sales; the size after the first thousand is
        // the base, so start-up and first-use allocations do not count.
        const int total = parser.value(rssOperations).toInt();
        const int half = total / 2;
        long base = 0;
        long middle = 0;
        for (int i = 1; i <= total; ++i) {
            ok = succeeded(host->ask(i % 2 ? "balance " + card.toUtf8() : saleCommand(100))) && ok;
            if (i == 1000)
                base = host->residentKb();
            if (i == half)
                middle = host->residentKb();
        }
        const long end = host->residentKb();
        const auto perThousand = [](long from, long to, int operations) {
            return operations > 0 ? double(to - from) / (operations / 1000.0) : 0.0;
        };
        // The allocator and the caches settle over the first few thousand
        // operations; the second half shows what each further one costs.
        std::printf("\nresident size of payment-host over %d operations: %ld kB after 1000, %ld kB "
                    "after %d, %ld kB after %d: %+.2f kB per 1000 operations from 1000 on, %+.2f "
                    "over the second half\n",
                    total, base, middle, half, end, total, perThousand(base, end, total - 1000),
                    perThousand(middle, end, total - half));
        std::fflush(stdout);
    }

    if (!parser.isSet(noDead)) {
        // A new process with a dead server listed first: the first call
        // waits out the connect limit; later ones, in this process and in
        // the next 60 s, go to the live server straight away.
        DeadEndpoint dead;
        QJsonObject settings = settingsFor(sim.port());
        settings.insert(
            QStringLiteral("servers"),
            QJsonArray {QJsonObject {{QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                                     {QStringLiteral("port"), dead.port()}},
                        QJsonObject {{QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                                     {QStringLiteral("port"), sim.port()}}});
        writeSettings(till, settings);
        HostSession fresh(QStringLiteral(PAYMENT_HOST_PATH), QStringLiteral(PLUGIN_PATH), till);
        if (!fresh.start())
            return 1;
        std::vector<double> later;
        const double first
            = timed([&] { return succeeded(fresh.ask("balance " + card.toUtf8())); }, &ok);
        for (int i = 0; i < 50; ++i) {
            later.push_back(timed(
                [&] {
                    return succeeded(
                        fresh.ask(i % 2 ? "balance " + card.toUtf8() : saleCommand(100)));
                },
                &ok));
        }
        // When the dead server's rest ends, the first operation after it
        // goes to the live one while a probe tries the dead one.
        ::sleep(61);
        std::vector<double> rested;
        for (int i = 0; i < 10; ++i) {
            rested.push_back(
                timed([&] { return succeeded(fresh.ask("balance " + card.toUtf8())); }, &ok));
        }
        const double liveBalance = percentile(samples[0], 0.50);
        const double liveSale = percentile(samples[2], 0.50);
        std::printf("\ndead first server (SYNs dropped, connect limit 1000 ms):\n"
                    "  first operation of the process: %.1f ms (%.1f ms more than without it)\n"
                    "  next 50 operations: p50 %.2f ms, max %.2f ms (live-only p50: balance %.2f "
                    "ms, sale %.2f ms)\n"
                    "  after its 60 s rest: first balance %.2f ms, next 9: p50 %.2f ms, max %.2f "
                    "ms\n",
                    first, first - liveBalance, percentile(later, 0.5),
                    *std::max_element(later.begin(), later.end()), liveBalance, liveSale,
                    rested.front(),
                    percentile(std::vector<double>(rested.begin() + 1, rested.end()), 0.5),
                    *std::max_element(rested.begin() + 1, rested.end()));
        writeSettings(till, settingsFor(sim.port()));
    }

    if (!ok) {
        std::printf("\nsome operations failed; the run is kept in %s\n", qPrintable(work.path()));
        work.setAutoRemove(false);
        return 1;
    }
    return 0;
}
