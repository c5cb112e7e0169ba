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

#include "Bench.h"
#include "DelayProxy.h"
#include "MariaDbSandbox.h"
#include "PluginHandle.h"
#include "Rounds.h"
#include "SimProcess.h"
#include "TempTill.h"
#include "TestCertificates.h"

#include <QCoreApplication>
#include <QJsonObject>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

enum Mode { Warm, Cold, Fresh };
const char *const modeNames[] = {"warm", "cold", "keepAlive 0"};

struct Cell
{
    Mode mode;
    bool tls;
    int rtt;
    std::unique_ptr<DelayProxy> proxy;
    int tasks[2]; // balance, sale: their index in the rounds
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench bench(QStringLiteral("wan"),
                QStringLiteral("The plug-in behind a proxy that delays every byte."));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Timed rounds; each runs every cell once "
                                                         "(default 30)."),
                                          QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption rtts(QStringLiteral("rtt"),
                                  QStringLiteral("Round-trip times in ms (default 0,20,50)."),
                                  QStringLiteral("LIST"), QStringLiteral("0,20,50"));
    bench.addOptions({roundsOption, rtts});
    if (!bench.start(app))
        return 1;

    const std::unique_ptr<TempTill> till = bench.till();
    MariaDbSandbox database;
    if (!Bench::startDatabase(database))
        return 1;

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

    SimProcess plain;
    SimProcess secure;
    if (!bench.startSim(plain, QStringLiteral("sim"))
        || !bench.startSim(
            secure, QStringLiteral("sim-tls"),
            {QStringLiteral("--tls-cert"), certificates.path(QStringLiteral("server.pem")),
             QStringLiteral("--tls-key"), certificates.path(QStringLiteral("server.key")),
             QStringLiteral("--tls-ca"), certificates.path(QStringLiteral("ca.pem"))}))
        return 1;

    PluginHandle plugin;
    if (!plugin.plugin()) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(plugin.errorString()));
        return 1;
    }

    const auto settingsFor = [&](const Cell &cell) {
        QJsonObject settings = Bench::settings(cell.proxy->port());
        settings.insert(QStringLiteral("connectTimeout"), 2000);
        settings.insert(QStringLiteral("keepAlive"), cell.mode == Fresh ? 0 : 20);
        if (cell.tls)
            settings.insert(
                QStringLiteral("tls"),
                QJsonObject {
                    {QStringLiteral("caFile"), certificates.path(QStringLiteral("ca.pem"))},
                    {QStringLiteral("certFile"), certificates.path(QStringLiteral("till.pem"))},
                    {QStringLiteral("keyFile"), certificates.path(QStringLiteral("till.key"))}});
        return settings;
    };

    Rounds rounds(20261209);
    std::vector<std::unique_ptr<Cell>> cells;
    for (Mode mode : {Warm, Cold, Fresh}) {
        for (bool tls : {false, true}) {
            for (int rtt : bench.numbers(rtts)) {
                auto cell = std::make_unique<Cell>();
                cell->mode = mode;
                cell->tls = tls;
                cell->rtt = rtt;
                cell->proxy
                    = std::make_unique<DelayProxy>(tls ? secure.port() : plain.port(), rtt / 2);
                Cell *const at = cell.get();
                const auto before = [&, at] {
                    till->writeSettings(settingsFor(*at));
                    // Closed from the far side while idle, or left by the
                    // last keepAlive-0 operation: either way nothing is
                    // kept through it.
                    if (at->mode != Warm)
                        at->proxy->dropConnections();
                };
                cell->tasks[0]
                    = rounds.add([&] { return plugin.balance(Bench::card()).isSuccess(); }, before);
                cell->tasks[1] = rounds.add(
                    [&] {
                        return plugin.sale(100 + int(rounds.random().bounded(900)), Bench::card())
                            .isSuccess();
                    },
                    before);
                cells.push_back(std::move(cell));
            }
        }
    }

    const int total = bench.value(roundsOption).toInt();
    rounds.run(total, 2);

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
                    const double p50 = rounds.percentile(cell->tasks[kind], 0.5);
                    const double p99 = rounds.percentile(cell->tasks[kind], 0.99);
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
    int full = 0;
    int resumed = 0;
    for (const QString &line : secure.lines()) {
        if (line.contains(QLatin1String("tls handshake"))
            && line.contains(QLatin1String("session=full")))
            ++full;
        else if (line.contains(QLatin1String("tls handshake"))
                 && line.contains(QLatin1String("session=resumed")))
            ++resumed;
    }
    std::printf("\nTLS handshakes at the server: %d full, %d resumed\n", full, resumed);
    if (!rounds.ok())
        return bench.failed(QStringLiteral("some operations failed"));
    return 0;
}
