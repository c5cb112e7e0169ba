// The plug-in, loaded into this process as a till loads it, behind a proxy
// that delays every byte (DelayProxy): what a till on a WAN waits for a
// balance and a sale, plain and over TLS, at several round-trip times,
// interleaved in one run so that whatever the machine does falls on every
// cell alike.
//
//   bench_wan [--rounds N] [--rtt 0,20,50] [--dir DIR]
//
// Three ways, each with proxies of its own:
//   warm         keepAlive 20: the connection kept from the last operation
//   cold         keepAlive 20, but the proxy closed every connection before
//                the operation (a server's or a NAT's idle limit)
//   keepAlive 0  a fresh connection for every call
// For each: p50 and p99, the round trips waited, (p50 - p50 at RTT 0) / RTT,
// and the ratio of the p50 to the kept-connection bound, the RTT-0 p50 plus
// one round trip per call (a balance makes one call, a sale three).

#include "BenchServer.h"
#include "DelayProxy.h"
#include "MariaDbSandbox.h"
#include "TestCertificates.h"

#include "AbstractPaymentProcessing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPluginLoader>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace {

const QString card = QStringLiteral("2000123456789");
const QString terminal = QStringLiteral("BENCH-1");
const QString cashier = QStringLiteral("17");

enum Mode { Warm, Cold, Fresh };
const char *const modeNames[] = {"warm", "cold", "keepAlive 0"};

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(p * double(samples.size())))];
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct Cell
{
    Mode mode;
    bool tls;
    int rtt;
    std::unique_ptr<DelayProxy> proxy;
    std::vector<double> samples[2]; // balance, sale
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption rounds(QStringLiteral("rounds"),
                                    QStringLiteral("Timed rounds; each runs every cell once "
                                                   "(default 30)."),
                                    QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption rtts(QStringLiteral("rtt"),
                                  QStringLiteral("Round-trip times in ms (default 0,20,50)."),
                                  QStringLiteral("LIST"), QStringLiteral("0,20,50"));
    const QCommandLineOption dir(QStringLiteral("dir"), QStringLiteral("Where the ledgers go."),
                                 QStringLiteral("DIR"), QDir::currentPath());
    parser.addOptions({rounds, rtts, dir});
    parser.process(app);
    qputenv("BONUS_SOURCE_DIR", BONUS_SOURCE_DIR);

    QTemporaryDir work(parser.value(dir) + QStringLiteral("/bench-wan-XXXXXX"));
    if (!work.isValid())
        return 1;
    const QString till = work.filePath(QStringLiteral("till"));
    for (const char *sub :
         {"cash/conf", "cash/paysystems/bonuscredit", "cash/data/tmp", "cash/log"})
        QDir(till).mkpath(QLatin1String(sub));
    writeFile(till + QStringLiteral("/cash/data/tmp/check.img"),
              R"({"num":1,"cashCode":"1","cashierCode":"17"})");
    qputenv("TILLHOUSE_ROOT", till.toUtf8());

    MariaDbSandbox database;
    if (!database.start() || !database.addCardholder(card, cashier)) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(database.errorString()));
        return 1;
    }

    TestCertificates certificates;
    if (!certificates.make(QStringLiteral("ca"), QStringLiteral("/CN=Bench CA"))
        || !certificates.make(QStringLiteral("server"), QStringLiteral("/CN=accounting"),
                              QStringLiteral("ca"),
                              {QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost"),
                               QStringLiteral("extendedKeyUsage=serverAuth")})
        || !certificates.make(QStringLiteral("till"), QStringLiteral("/CN=BENCH-1"),
                              QStringLiteral("ca"),
                              {QStringLiteral("subjectAltName=URI:urn:terminal:BENCH-1"),
                               QStringLiteral("extendedKeyUsage=clientAuth")})) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(certificates.error()));
        return 1;
    }

    const QStringList common {
        QStringLiteral("--listen"),   QStringLiteral("127.0.0.1:0"),
        QStringLiteral("--card"),     card + QStringLiteral("=1000000000000000"),
        QStringLiteral("--terminal"), terminal};
    BenchServer plain(
        QStringLiteral("sim"), QStringLiteral(ACCOUNTING_SIM_PATH),
        common
            + QStringList {QStringLiteral("--db"), work.filePath(QStringLiteral("ledger.sqlite"))},
        work.filePath(QStringLiteral("sim.log")));
    const QString tlsLog = work.filePath(QStringLiteral("sim-tls.log"));
    BenchServer secure(QStringLiteral("sim-tls"), QStringLiteral(ACCOUNTING_SIM_PATH),
                       common
                           + QStringList {QStringLiteral("--db"),
                                          work.filePath(QStringLiteral("ledger-tls.sqlite")),
                                          QStringLiteral("--tls-cert"),
                                          certificates.path(QStringLiteral("server.pem")),
                                          QStringLiteral("--tls-key"),
                                          certificates.path(QStringLiteral("server.key")),
                                          QStringLiteral("--tls-ca"),
                                          certificates.path(QStringLiteral("ca.pem"))},
                       tlsLog);
    if (!plain.start() || !secure.start())
        return 1;

    std::vector<int> delays;
    for (const QString &rtt : parser.value(rtts).split(QLatin1Char(',')))
        delays.push_back(rtt.toInt());
    std::vector<std::unique_ptr<Cell>> cells;
    for (Mode mode : {Warm, Cold, Fresh}) {
        for (bool tls : {false, true}) {
            for (int rtt : delays) {
                auto cell = std::make_unique<Cell>();
                cell->mode = mode;
                cell->tls = tls;
                cell->rtt = rtt;
                cell->proxy
                    = std::make_unique<DelayProxy>(tls ? secure.port() : plain.port(), rtt / 2);
                cells.push_back(std::move(cell));
            }
        }
    }

    QPluginLoader loader(QStringLiteral(PLUGIN_PATH));
    auto *plugin = qobject_cast<AbstractPaymentProcessing *>(loader.instance());
    if (!plugin) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(loader.errorString()));
        return 1;
    }

    const QString settingsPath = till + QStringLiteral("/cash/conf/bonus_credit.conf");
    const auto settingsFor = [&](const Cell &cell) {
        QJsonObject settings {{QStringLiteral("terminalId"), terminal},
                              {QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                              {QStringLiteral("port"), cell.proxy->port()},
                              {QStringLiteral("connectTimeout"), 2000},
                              {QStringLiteral("recvTimeout"), 5000},
                              {QStringLiteral("sendTimeout"), 5000},
                              {QStringLiteral("keepAlive"), cell.mode == Fresh ? 0 : 20}};
        if (cell.tls)
            settings.insert(
                QStringLiteral("tls"),
                QJsonObject {
                    {QStringLiteral("caFile"), certificates.path(QStringLiteral("ca.pem"))},
                    {QStringLiteral("certFile"), certificates.path(QStringLiteral("till.pem"))},
                    {QStringLiteral("keyFile"), certificates.path(QStringLiteral("till.key"))}});
        return QJsonDocument(settings).toJson();
    };

    QRandomGenerator random(20261209);
    bool ok = true;
    const auto run = [&](Cell &cell, int kind) {
        writeFile(settingsPath, settingsFor(cell));
        // Closed from the far side while idle, or left by the last
        // keepAlive-0 operation: either way nothing is kept through it.
        if (cell.mode != Warm)
            cell.proxy->dropConnections();
        QElapsedTimer clock;
        clock.start();
        bool done;
        if (kind == 0) {
            done = plugin->balance(card).isSuccess();
        } else {
            PaymentProcessingRequest request;
            request.amount = 100 + int(random.bounded(900));
            request.cardNumber = card;
            request.type = EPaymentProcessingRequest::Sale;
            done = plugin->payment(request).isSuccess();
        }
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        ok = done && ok;
        return ms;
    };

    std::vector<std::pair<Cell *, int>> order;
    for (const auto &cell : cells) {
        order.emplace_back(cell.get(), 0);
        order.emplace_back(cell.get(), 1);
    }
    const int total = parser.value(rounds).toInt();
    for (int round = -2; round < total; ++round) {
        std::shuffle(order.begin(), order.end(), random);
        for (const auto &[cell, kind] : order) {
            const double ms = run(*cell, kind);
            if (round >= 0)
                cell->samples[kind].push_back(ms);
        }
    }

    std::printf("the plug-in in this process behind a delaying proxy, %d rounds, interleaved\n\n",
                total);
    std::printf("%-11s %-5s %-7s %4s %10s %10s %12s %10s\n", "", "", "", "RTT", "p50", "p99",
                "round trips", "p50/bound");
    for (Mode mode : {Warm, Cold, Fresh}) {
        for (bool tls : {false, true}) {
            for (int kind = 0; kind < 2; ++kind) {
                double base = 0;
                for (const auto &cell : cells) {
                    if (cell->mode != mode || cell->tls != tls)
                        continue;
                    const double p50 = percentile(cell->samples[kind], 0.5);
                    const double p99 = percentile(cell->samples[kind], 0.99);
                    if (cell->rtt == 0)
                        base = p50;
                    const int calls = kind == 0 ? 1 : 3;
                    const double bound = base + calls * cell->rtt;
                    std::printf("%-11s %-5s %-7s %4d %7.1f ms %7.1f ms", modeNames[mode],
                                tls ? "TLS" : "plain", kind == 0 ? "balance" : "sale", cell->rtt,
                                p50, p99);
                    if (cell->rtt > 0)
                        std::printf(" %12.2f %10.2f\n", (p50 - base) / cell->rtt, p50 / bound);
                    else
                        std::printf("\n");
                }
            }
        }
    }

    // The TLS server logs every handshake, full or resumed.
    QFile log(tlsLog);
    int full = 0;
    int resumed = 0;
    if (log.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : log.readAll().split('\n')) {
            if (line.contains("tls handshake") && line.contains("session=full"))
                ++full;
            else if (line.contains("tls handshake") && line.contains("session=resumed"))
                ++resumed;
        }
    }
    std::printf("\nTLS handshakes at the server: %d full, %d resumed\n", full, resumed);
    if (!ok) {
        std::printf("\nsome operations failed; the run is kept in %s\n", qPrintable(work.path()));
        work.setAutoRemove(false);
        return 1;
    }
    return 0;
}
