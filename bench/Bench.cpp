#include "Bench.h"

#include "MariaDbSandbox.h"
#include "SimProcess.h"
#include "TempTill.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>
#include <cstdio>

Bench::Bench(const QString &name, const QString &about)
    : name(name)
    , dirOption(QStringLiteral("dir"),
                QStringLiteral("Where the ledgers and journals go (default: here)."),
                QStringLiteral("DIR"), QDir::currentPath())
{
    parser.setApplicationDescription(about);
    parser.addHelpOption();
    parser.addOption(dirOption);
    // Where the tests' fixtures look for the sources, the host and the
    // plug-in: this build's, unless the environment names others (another
    // build's, to compare with).
    qputenv("BONUS_SOURCE_DIR", BONUS_SOURCE_DIR);
    if (!qEnvironmentVariableIsSet("BONUS_BINARY_DIR"))
        qputenv("BONUS_BINARY_DIR", BONUS_BINARY_DIR);
    if (!qEnvironmentVariableIsSet("BONUS_PLUGIN_PATH"))
        qputenv("BONUS_PLUGIN_PATH", PLUGIN_PATH);
}

void Bench::addOptions(const QList<QCommandLineOption> &options)
{
    parser.addOptions(options);
}

bool Bench::start(const QCoreApplication &app)
{
    parser.process(app);
    work = std::make_unique<QTemporaryDir>(directory()
                                           + QStringLiteral("/bench-%1-XXXXXX").arg(name));
    if (!work->isValid()) {
        std::fprintf(stderr, "bench: cannot make a directory in %s: %s\n", qPrintable(directory()),
                     qPrintable(work->errorString()));
        return false;
    }
    return true;
}

std::vector<int> Bench::numbers(const QCommandLineOption &option) const
{
    std::vector<int> values;
    for (const QString &value : parser.value(option).split(QLatin1Char(','), Qt::SkipEmptyParts))
        values.push_back(value.toInt());
    return values;
}

int Bench::failed(const QString &what)
{
    std::printf("\n%s; the run is kept in %s\n", qPrintable(what), qPrintable(work->path()));
    std::fflush(stdout);
    work->setAutoRemove(false);
    return 1;
}

bool Bench::startSim(SimProcess &sim, const QString &server, const QStringList &more)
{
    QStringList arguments {
        QStringLiteral("--listen"),   QStringLiteral("127.0.0.1:0"),
        QStringLiteral("--card"),     card() + QStringLiteral("=1000000000000000"),
        QStringLiteral("--terminal"), terminal()};
    if (!more.contains(QStringLiteral("--db")))
        arguments << QStringLiteral("--db") << filePath(server + QStringLiteral(".sqlite"));
    sim.setLogFile(filePath(server + QStringLiteral(".log")));
    if (sim.start(arguments + more))
        return true;
    std::fprintf(stderr, "bench: %s did not start: %s\n", qPrintable(server),
                 qPrintable(sim.error()));
    return false;
}

std::unique_ptr<TempTill> Bench::till() const
{
    auto tree = std::make_unique<TempTill>(path());
    tree->writeCheckImageRaw(R"({"num":1,"cashCode":"1","cashierCode":"17"})");
    return tree;
}

bool Bench::startDatabase(MariaDbSandbox &database)
{
    if (database.start() && database.addCardholder(card(), cashier()))
        return true;
    std::fprintf(stderr, "bench: %s\n", qPrintable(database.errorString()));
    return false;
}

QJsonObject Bench::settings(int port)
{
    return {{QStringLiteral("terminalId"), terminal()},
            {QStringLiteral("address"), QStringLiteral("127.0.0.1")},
            {QStringLiteral("port"), port},
            {QStringLiteral("connectTimeout"), 1000},
            {QStringLiteral("recvTimeout"), 5000},
            {QStringLiteral("sendTimeout"), 5000}};
}

double Bench::percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(p * double(samples.size())))];
}
