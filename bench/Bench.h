#ifndef BENCH_H
#define BENCH_H

#include <QCommandLineParser>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class MariaDbSandbox;
class QCoreApplication;
class SimProcess;
class TempTill;

/*!
    What every benchmark here shares: its command line (its own options,
    and --dir, the directory its files go under: the current one by default,
    the project's disk, never a tmpfs, so that a sync costs what it costs);
    a working directory made there, removed at the end unless the run
    failed, so that what went wrong can be looked at; the build's paths, in
    the environment where the tests' fixtures read them (BONUS_BINARY_DIR
    and BONUS_PLUGIN_PATH already set name another build's host and
    plug-in, to set against this one's); accounting-sim with
    the one card and terminal every benchmark uses, and the plug-in's
    settings for it.
*/
class Bench
{
public:
    // `name` names the working directory; `about` heads --help.
    Bench(const QString &name, const QString &about);

    static QString card() { return QStringLiteral("2000123456789"); }
    static QString terminal() { return QStringLiteral("BENCH-1"); }
    static QString cashier() { return QStringLiteral("17"); }

    void addOptions(const QList<QCommandLineOption> &options);
    // Parses the command line and makes the working directory; false with
    // the reason on stderr.
    bool start(const QCoreApplication &app);
    bool isSet(const QCommandLineOption &option) const { return parser.isSet(option); }
    QString value(const QCommandLineOption &option) const { return parser.value(option); }
    // Integers of a comma-separated option ("1,4,16").
    std::vector<int> numbers(const QCommandLineOption &option) const;
    QString directory() const { return parser.value(dirOption); }
    QString path() const { return work->path(); }
    QString filePath(const QString &file) const { return work->filePath(file); }

    // The run went wrong: says what, keeps the working directory, and
    // returns 1, the exit status.
    int failed(const QString &what);

    // accounting-sim named `name`, its ledger and log in the working
    // directory (unless `more` names a --db), holding the card with a large
    // balance for the terminal. False with the reason on stderr.
    bool startSim(SimProcess &sim, const QString &name, const QStringList &more = {});
    // A till tree in the working directory, with the receipt image a
    // payment reads; the newest is TILLHOUSE_ROOT while it lives.
    std::unique_ptr<TempTill> till() const;
    // The private MariaDB, holding the card, its client and the cashier.
    // False with the reason on stderr.
    static bool startDatabase(MariaDbSandbox &database);
    // The plug-in's settings for a server on 127.0.0.1:port.
    static QJsonObject settings(int port);

    // The value below which the fraction `p` of the samples lie.
    static double percentile(std::vector<double> samples, double p);

private:
    const QString name;
    QCommandLineParser parser;
    const QCommandLineOption dirOption;
    std::unique_ptr<QTemporaryDir> work;
};

#endif // BENCH_H
