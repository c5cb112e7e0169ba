#ifndef LEDGER_H
#define LEDGER_H

#include "LedgerAddress.h"
#include "LedgerReply.h"

#include <QDeadlineTimer>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>
#include <QVector>

#include <chrono>

/*!
    The accounting server's books: cards with their committed and inactive
    balances in kopecks, every payment or refund as a transaction (pending
    until it is committed or rolled back), and a history of every change with
    its reason. In a SQLite file, or in a MariaDB database that several
    servers share.

    Each thread talks to the database through a connection of its own (Qt's
    SQL connections belong to the thread that made them), kept for the
    thread's life. Nothing here serialises in the process: every operation
    that checks money and moves it runs in one database transaction that
    first locks the card (SELECT ... FOR UPDATE on MariaDB; BEGIN IMMEDIATE,
    which locks the file, on SQLite), so two servers on one ledger are as safe
    as two threads. Database failures throw LedgerError; refusals are replies.

    Every operation has the request deadline: lock waits are set from the
    time left, a conflict is tried again only while there is time, and a
    transaction whose deadline has passed is rolled back rather than
    committed (LedgerError, Cause::Deadline), so nothing lands after the
    till has given up on it.

    The rules a till relies on:
    - a pending payment holds its money; a refund may not take a card above
      what it has paid (committed payments, less committed and pending refunds);
    - no money comes from nowhere: a void of a payment whose money a refund
      already gave back is refused, and so is anything that would take a
      balance beyond 64 bits; every sum is exact;
    - only the terminal that made a transaction can commit or roll it back;
    - a repeated commit is answered success; a commit after a rollback is refused;
    - a rollback finds the transaction by the server's session id or by the
      till's own id (its latest use on that terminal in the last 12 hours),
      and voids a committed one; a repeated rollback is answered success;
    - a rollback by the till's id that finds nothing is answered success and
      remembered for 24 hours: a makePay or makePayBack of that terminal
      with that id is then refused. An unknown session id is refused;
    - a transaction pending longer than the time to live is rolled back.
*/
class Ledger
{
public:
    enum class Kind { Pay, PayBack };

    // One line of a card's history.
    struct Event
    {
        QString at;
        QString event;
        qint64 delta = 0;
        qint64 balance = 0;
        qint64 amount = 0;
        QString terminal;
        QString session;
        QString clientSession;
    };

    // Opens (or creates) the database and its tables on the calling thread.
    Ledger(const LedgerAddress &address, qint64 pendingTtlMs, qint64 requestDeadlineMs);

    // Adds a card unless it exists; an existing card keeps its balances.
    // Returns true when the card was added.
    bool addCardIfMissing(const QString &number, qint64 balance, qint64 balanceInactive);

    LedgerReply balance(const QString &cardNumber);
    // Records a pending transaction under a new random session id.
    LedgerReply open(Kind kind, const QString &terminalId, const QString &clientSessionId,
                     const QString &cardNumber, qint64 amount, qint64 dateFromCash);
    LedgerReply commit(const QString &terminalId, const QString &sessionId,
                       const QString &cardNumber);
    // `id` is the server's session id or the till's own transaction id.
    LedgerReply rollback(const QString &terminalId, const QString &id, const QString &cardNumber);
    // Rolls back what has been pending longer than the time to live; one
    // log line for each.
    QStringList expireOverdue();
    // Forgets reversals remembered longer than a day; how many went.
    int forgetOldReversals();

    // False when the card is not on the ledger.
    bool history(const QString &cardNumber, LedgerReply &card, QVector<Event> &events);

    // 128 random bits as 32 hex digits.
    static QString newSessionId();

    // The request the calling thread serves arrived at `arrival`: its
    // operations measure the request deadline from then, so the time it
    // waited for a worker counts too. A default time point: from each
    // operation's start.
    static void setRequestArrival(std::chrono::steady_clock::time_point arrival);

    // Lets the calling thread's connection go now rather than at thread exit.
    static void closeThreadConnection();

private:
    struct Transaction
    {
        qint64 id = 0;
        QString sessionId;
        QString kind;
        QString terminal;
        QString clientSession;
        QString card;
        qint64 amount = 0;
        QString state;
        qint64 createdMs = 0;
    };
    class Work;

    QSqlDatabase &connection();
    // Runs one database transaction under the request deadline; the one
    // place where failures are tried again.
    template<typename Operation> auto retrying(Operation operation) -> decltype(operation());
    // Connects if need be and sets the lock wait from the time left.
    void startAttempt(const QDeadlineTimer &deadline);
    void createTables();
    void upgradeSQLiteLedger();
    bool lockCard(const QString &cardNumber, LedgerReply &reply);
    enum class By { SessionId, ClientId, RowId };
    // The terminal's transaction with that key (the latest one of the last
    // 12 hours, by the till's id).
    bool findTransaction(const QString &terminalId, By by, const QVariant &key, Transaction &found);
    enum class Found { Yes, None, OtherCard };
    // Locks the card, then finds the terminal's transaction named by its
    // session id (or, with `clientIdToo`, the till's own id); Yes only when
    // it is that card's.
    Found lockTransaction(const QString &terminalId, const QString &id, bool clientIdToo,
                          const QString &cardNumber, Transaction &transaction, LedgerReply &reply);
    // Whether this terminal's rollback by that id came before its payment.
    bool reversedBeforehand(const QString &terminalId, const QString &clientSessionId);
    void finish(const Transaction &transaction, const QString &state, const QString &event,
                qint64 delta, LedgerReply &reply);
    void record(const QString &card, const QString &event, qint64 delta, qint64 balance,
                qint64 amount, const QString &terminal, const QString &session,
                const QString &clientSession);
    bool overdue(const Transaction &transaction) const;
    static QString describe(const QString &event, const Transaction &transaction, qint64 balance);

    const LedgerAddress m_address;
    const bool m_mariaDb;
    const qint64 m_pendingTtlMs;
    const qint64 m_requestDeadlineMs;
};

#endif // LEDGER_H
