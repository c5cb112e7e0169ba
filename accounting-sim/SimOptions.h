#ifndef SIMOPTIONS_H
#define SIMOPTIONS_H

#include "LedgerAddress.h"

#include <QString>
#include <QStringList>
#include <QVector>

/*!
    The server's command line:

        accounting-sim --listen HOST:PORT --db FILE|mysql://...
                       [--card NUMBER=KOPECKS[:INACTIVE] ...] [--terminal ID ...]
                       [--pending-ttl SECONDS] [--workers N] [--max-connections N]
                       [--max-connections-per-peer N] [--idle-timeout SECONDS]
                       [--request-deadline SECONDS] [--read-deadline SECONDS]
                       [--failure-limit N] [--failure-window SECONDS]
                       [--tls-cert FILE --tls-key FILE [--tls-ca FILE [--tls-crl FILE]]]
                       [--log-card-numbers masked|full]
                       [--admin-listen [HOST:]PORT] [--metrics-listen [HOST:]PORT]
        accounting-sim history --db FILE|mysql://... CARD
        accounting-sim backup --db FILE COPY
        accounting-sim admin ...              (AdminCommand)

    parse() throws UsageError with a one-line reason for anything it cannot
    use. The server's fixed limits live here too, beside the defaults.
*/
class SimOptions
{
public:
    enum class Command { Serve, History, Backup };

    struct CardSeed
    {
        QString number;
        qint64 balance = 0;
        qint64 balanceInactive = 0;
    };

    // TLS files, all PEM. No certificate: plain TCP. With a CA, every client
    // must present a certificate it signed; with a CRL, revoked ones are refused.
    struct Tls
    {
        QString certificate;
        QString key;
        QString ca;
        QString crl;

        bool enabled() const { return !certificate.isEmpty(); }
    };

    // Every string of a request (ids, card numbers) fits in this many bytes;
    // a longer declared length closes the connection before anything is allocated.
    static constexpr int maxStringBytes = 64 * 1024;
    static constexpr int maxContainerItems = 1024;
    // One request, field headers and skipped unknown fields included.
    static constexpr int maxMessageBytes = 1024 * 1024;
    // Ids, card numbers and terminal ids the ledger stores.
    static constexpr int maxFieldCharacters = 255;
    // A rollback by the till's own id finds only a transaction this recent:
    // the till makes its ids from the time of day, so they repeat daily.
    static constexpr qint64 clientIdWindowMs = 12 * 3600 * 1000LL;
    // A rollback by the till's id that found nothing is remembered this long,
    // so the payment it reverses is refused should it arrive late.
    static constexpr qint64 reversalMemoryMs = 24 * 3600 * 1000LL;
    // Structs and containers nested deeper than this in a request close the
    // connection (Thrift's own default).
    static constexpr int maxNestingDepth = 64;
    // Requests still arriving may hold this many bytes in all; beyond it the
    // connection that asks for more is closed. Each connection may always
    // hold its first requestAllowanceBytes (a till's request is far smaller),
    // so a flood of large requests cannot starve small ones.
    static constexpr int maxBufferedRequestBytes = 64 * 1024 * 1024;
    static constexpr int requestAllowanceBytes = 8 * 1024;
    // (terminal, peer) pairs the failure limiter follows at once; a flood of
    // made-up terminal ids cannot grow it without bound.
    static constexpr int maxLimiterEntries = 100000;
    // Items on one page of an administrative list.
    static constexpr int maxPageSize = 1000;
    // A card's transactions listed at once; more are asked for page by page.
    static constexpr int maxAssetList = 10000;
    // The administrative port serves few operators at once.
    static constexpr int adminWorkers = 4;
    // /healthz waits no longer than this for the ledger.
    static constexpr int healthDeadlineMs = 2000;
    // A conflict is tried again after a pause that doubles from the first to
    // the longest, drawn at random from its upper half, while the request
    // has time.
    static constexpr qint64 retryFirstPauseMs = 2;
    static constexpr qint64 retryLongestPauseMs = 100;
    // Writes a SQLite ledger's writer commits together with one sync: more
    // than the workers, so a batch usually takes every write waiting.
    static constexpr int maxBatchWrites = 64;
    // How often a SQLite ledger's log is copied into its file, beside the
    // writer: the log holds about this much of the writes.
    static constexpr qint64 checkpointIntervalMs = 1000;

    static SimOptions parse(const QStringList &arguments);

    Command command = Command::Serve;
    bool helpRequested = false;
    bool versionRequested = false;
    // What --help prints.
    QString helpText;

    QString listenHost;
    quint16 listenPort = 0;
    // Served only when given; the host defaults to 127.0.0.1.
    QString adminHost;
    int adminPort = -1;
    QString metricsHost;
    int metricsPort = -1;
    LedgerAddress ledger;
    QVector<CardSeed> cards;
    // Empty: every terminal is accepted.
    QStringList terminals;
    int pendingTtlSeconds = 900;
    int workers = 32;
    // An idle connection costs a descriptor and a little memory, no thread.
    int maxConnections = 10000;
    // A shop behind one address: each till a connection or two at a time.
    int maxConnectionsPerPeer = 256;
    int idleTimeoutSeconds = 30;
    // Shorter than the tills' receive limit (15 s), so no request is applied
    // after its till has given up on it.
    int requestDeadlineSeconds = 10;
    int readDeadlineSeconds = 5;
    int failureLimit = 20;
    int failureWindowSeconds = 60;
    Tls tls;
    bool logFullCardNumbers = false;

    // history: the card to show.
    QString historyCard;
    // backup: where the copy goes.
    QString backupFile;

private:
    static void parseListen(const QString &value, SimOptions &options);
    static void parseTls(const QString &certificate, const QString &key, const QString &ca,
                         const QString &crl, SimOptions &options);
    // [HOST:]PORT, the host 127.0.0.1 when left out.
    static void parseAddress(const QString &value, const QString &option, QString &host, int &port);
    static CardSeed parseCard(const QString &value);
    static qint64 parseKopecks(const QString &text, const QString &option);
    static int parseCount(const QString &value, const QString &option, int minimum, int maximum);
};

#endif // SIMOPTIONS_H
