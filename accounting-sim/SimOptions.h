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
                       [--idle-timeout SECONDS] [--request-deadline SECONDS]
        accounting-sim history --db FILE|mysql://... CARD

    parse() throws UsageError with a one-line reason for anything it cannot
    use. The server's fixed limits live here too, beside the defaults.
*/
class SimOptions
{
public:
    enum class Command { Serve, History };

    struct CardSeed
    {
        QString number;
        qint64 balance = 0;
        qint64 balanceInactive = 0;
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

    static SimOptions parse(const QStringList &arguments);

    Command command = Command::Serve;
    bool helpRequested = false;
    bool versionRequested = false;
    // What --help prints.
    QString helpText;

    QString listenHost;
    quint16 listenPort = 0;
    LedgerAddress ledger;
    QVector<CardSeed> cards;
    // Empty: every terminal is accepted.
    QStringList terminals;
    int pendingTtlSeconds = 900;
    int workers = 32;
    int maxConnections = 256;
    int idleTimeoutSeconds = 30;
    // Shorter than the tills' receive limit (15 s), so no request is applied
    // after its till has given up on it.
    int requestDeadlineSeconds = 10;

    // history: the card to show.
    QString historyCard;

private:
    static void parseListen(const QString &value, SimOptions &options);
    static CardSeed parseCard(const QString &value);
    static qint64 parseKopecks(const QString &text, const QString &option);
    static int parseCount(const QString &value, const QString &option, int minimum, int maximum);
};

#endif // SIMOPTIONS_H
