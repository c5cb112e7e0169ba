#ifndef LOAD_H
#define LOAD_H

#include <QtGlobal>

#include <QVector>

/*!
    Clients that hammer a server for a while, the way tills do: each a
    thread with its own card, calling with the binary protocol on plain TCP.
    With fresh connections each call opens and closes a connection of its
    own (as the till does); otherwise each client keeps one open. Given
    several ports (servers on one ledger), client c calls port c mod n.
*/
class Load
{
public:
    enum class Operation {
        Balance, // one balance call
        Commit, // makePay then commitTransaction: one sale
    };

    struct Outcome
    {
        double perSecond = 0;
        quint64 failures = 0;
        // Of one operation (a sale: both calls), over the counted time.
        double p99Ms = 0;
    };

    // Runs `clients` clients for a short warm-up, then counts for `seconds`.
    static Outcome run(const QVector<quint16> &ports, Operation operation, int clients, bool fresh,
                       double seconds);

    struct Latency
    {
        double p50Ms = 0;
        double p99Ms = 0;
        quint64 answered = 0;
        quint64 failures = 0;
    };
    // One till: balance calls `pauseMs` apart for `seconds`, each on a
    // connection of its own from 127.0.0.1, timed one by one.
    static Latency timed(quint16 port, double seconds, int pauseMs);
};

#endif // LOAD_H
