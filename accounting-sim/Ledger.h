#ifndef LEDGER_H
#define LEDGER_H

#include "LedgerReply.h"

#include <QMutex>
#include <QSqlDatabase>
#include <QString>

/*!
    The accounting server's books in one SQLite file: cards with their
    committed and inactive balances in kopecks, and every payment or refund
    as a transaction that is pending until it is committed or rolled back.

    Each thread talks to the file through a connection of its own (Qt's SQL
    connections belong to the thread that made them); a thread's connection
    is closed when the thread ends. One mutex runs the operations one at a
    time, so checking the money and moving it cannot interleave between two
    terminals. Database failures throw LedgerError; refusals are replies.
*/
class Ledger
{
public:
    enum class Kind { Pay, PayBack };

    // Opens (or creates) the file and its tables on the calling thread.
    explicit Ledger(const QString &path);

    // Adds a card unless it exists; an existing card keeps its balances.
    // Returns true when the card was added.
    bool addCardIfMissing(const QString &number, qint64 balance, qint64 balanceInactive);

    LedgerReply balance(const QString &cardNumber);
    // Records a pending transaction under a session id of the ledger's own.
    LedgerReply open(Kind kind, const QString &terminalId, const QString &clientSessionId,
                     const QString &cardNumber, qint64 amount, qint64 dateFromCash);
    LedgerReply commit(const QString &sessionId, const QString &cardNumber);
    LedgerReply rollback(const QString &sessionId, const QString &cardNumber);

    // The session id that the ledger gives its transaction number.
    static QString sessionIdFor(qint64 transactionId);

    // Lets the calling thread's connection go now rather than at thread exit.
    static void closeThreadConnection();

private:
    QSqlDatabase connection();
    void createTables();
    bool readCard(QSqlDatabase &db, const QString &cardNumber, LedgerReply &reply);
    qint64 pendingPayments(QSqlDatabase &db, const QString &cardNumber);

    struct Pending
    {
        QString kind;
        QString card;
        qint64 amount = 0;
    };
    // The pending transaction `sessionId` of `cardNumber`; otherwise false
    // with the refusal in `reply`.
    bool findPending(QSqlDatabase &db, const QString &sessionId, const QString &cardNumber,
                     LedgerReply &reply, Pending &pending);

    QString m_path;
    QMutex m_lock;
};

#endif // LEDGER_H
