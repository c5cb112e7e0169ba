#ifndef LEDGER_H
#define LEDGER_H

#include "BonusGroup.h"
#include "LedgerAddress.h"
#include "LedgerReply.h"
#include "LedgerWriter.h"

#include <QDeadlineTimer>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>
#include <QVector>

#include <chrono>
#include <functional>
#include <memory>

/*!
    The accounting server's books: cards with their status and their
    committed and inactive balances in kopecks, every payment, refund,
    earning or adjustment as a transaction (pending until it is committed or
    rolled back), and a history of every change with its reason. In a SQLite
    file, or in a MariaDB database that several servers share. Bonus earned
    in a group with dates is followed lot by lot (BonusLots); the terminals,
    the balances snapshot and the reasons keep tables of their own here too.

    Each thread talks to the database through a connection of its own (Qt's
    SQL connections belong to the thread that made them), kept for the
    thread's life. Every operation that checks money and moves it runs in
    one database transaction that first locks the card (SELECT ... FOR
    UPDATE on MariaDB; BEGIN IMMEDIATE, which locks the file, on SQLite), so
    two servers on one ledger are as safe as two threads. On SQLite the
    process's writes go through one writer (LedgerWriter), which commits
    those that queue up together with one sync; reads stay on their threads.
    Database failures throw LedgerError; refusals are replies.

    Every operation has the request deadline: lock waits are set from the
    time left, a conflict is tried again after a random pause for as long
    as there is time, and a transaction whose deadline has passed is rolled
    back rather than committed (LedgerError, Cause::Deadline), so nothing
    lands after the till has given up on it. retrying() and writing() are
    that one place; an operation is one of them around its transaction.

    On a MariaDB Galera cluster, several servers each on its own node:
    - a node commits before the others have applied the write, so each
      connection waits, at the first statement of a transaction, for what
      any node committed before it (wsrep_sync_wait): a commit on one node
      finds the makePay made on another an instant before;
    - every decision on a card's money writes the card's row (its counter
      `version`), so two nodes deciding on one card at once conflict and one
      of them is tried again, never both pass on what each read alone;
    - a conflict between nodes comes as a deadlock at any statement or at
      COMMIT, and is tried again like any other;
    - history is in the order the changes committed: each line takes the
      card's counter, which grows in that order on every node (row ids do
      not: each node hands out its own).

    The rules a till relies on:
    - money leaves a card by a payment, an earning's reversal or a debit, and
      comes to it by a refund, an earning or a credit;
    - a pending payment or earning reversal holds its money; a refund may not
      take a card above what it has paid (committed payments, less committed
      and pending refunds), nor an earning reversal take back more than was
      earned;
    - a blocked or withdrawn card neither pays nor earns; an anonymous card
      earns but does not pay, until it is registered (made active);
    - no money comes from nowhere: a void of a payment whose money a refund
      already gave back is refused (and of an earning an earning reversal
      took back), and so is anything that would take a balance beyond 64
      bits; every sum is exact;
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
    // The order is the ledger's: kinds are stored by name (kindName()).
    enum class Kind { Pay, PayBack, Earn, EarnBack, Add, Sub };
    // A card's status, numbered as the interface numbers CardStatus.
    enum class CardState { Active = 0, Blocked = 1, Withdrawn = 2, Anonymous = 3 };

    // One line of a card's history.
    struct Event
    {
        QString at;
        QString event;
        qint64 delta = 0;
        qint64 balance = 0;
        // Change of the inactive balance.
        qint64 inactiveDelta = 0;
        qint64 amount = 0;
        QString terminal;
        QString session;
        QString clientSession;
    };

    // Opens (or creates) the database and its tables on the calling thread.
    Ledger(const LedgerAddress &address, qint64 pendingTtlMs, qint64 requestDeadlineMs);
    ~Ledger();

    // Adds a card unless it exists; an existing card keeps its balances.
    // Returns true when the card was added.
    bool addCardIfMissing(const QString &number, qint64 balance, qint64 balanceInactive);

    LedgerReply balance(const QString &cardNumber);
    // Records a pending transaction under a new random session id: a
    // payment, refund, earning or earning's reversal, the last two in `group`.
    LedgerReply open(Kind kind, const QString &terminalId, const QString &clientSessionId,
                     const QString &cardNumber, qint64 amount, qint64 dateFromCash,
                     const BonusGroup &group = BonusGroup());
    // A transaction opened and committed at once (pay, back, add, sub), under
    // the same rules as the two steps.
    LedgerReply apply(Kind kind, const QString &terminalId, const QString &clientSessionId,
                      const QString &cardNumber, qint64 amount, qint64 dateFromCash,
                      const BonusGroup &group = BonusGroup());
    LedgerReply commit(const QString &terminalId, const QString &sessionId,
                       const QString &cardNumber);
    // `id` is the server's session id or the till's own transaction id.
    // `reason`, if any, is kept with the change it makes (cancel's status).
    LedgerReply rollback(const QString &terminalId, const QString &id, const QString &cardNumber,
                         const QString &reason = QString());
    // A rollback that names no card, with the till's status code kept as the
    // change's reason. An id that matches nothing is refused, not remembered.
    LedgerReply cancel(const QString &terminalId, const QString &id, int status);
    // Rolls back what has been pending longer than the time to live; one
    // log line for each.
    QStringList expireOverdue();
    // Forgets reversals remembered longer than a day; how many went.
    int forgetOldReversals();

    // False when the card is not on the ledger.
    bool history(const QString &cardNumber, LedgerReply &card, QVector<Event> &events);

    // 128 random bits as 32 hex digits.
    static QString newSessionId();
    static QString kindName(Kind kind);
    // What a history line calls a transaction of that kind ("payment", ...).
    static QString noun(const QString &kind);
    bool mariaDb() const { return m_mariaDb; }

    // For the classes that keep tables of their own in the ledger. Runs
    // `work` as one database transaction under the request deadline, tried
    // again as every other operation is, and on SQLite on the writer like
    // every other write; it is committed when `work` returns true and rolled
    // back otherwise. Throws LedgerError.
    void transact(const std::function<bool()> &work);
    // Runs `work`, whose statements read only, under the request deadline.
    void read(const std::function<void()> &work);
    // Statements on the calling thread's connection, within transact() or
    // read(); they throw LedgerError with `what` and the driver's text.
    static int execute(const QString &what, const QString &sql, const QVariantList &values);
    static QVector<QVariantList> select(const QString &what, const QString &sql,
                                        const QVariantList &values, int columns);
    // What a SELECT COUNT(*) counted.
    static qint64 count(const QString &what, const QString &sql, const QVariantList &values = {});
    // A statement that is not worth preparing (schema).
    static void define(const QString &what, const QString &sql);
    // Locks the card for the rest of the database transaction and reads its
    // balances (and status); false when it is not on the ledger.
    bool lockCard(const QString &cardNumber, LedgerReply &reply, CardState *state = nullptr);
    // Changes the card's balances by the deltas and records the change in
    // its history; throws when a balance would leave 64 bits (callers refuse
    // that first).
    void adjust(const QString &card, const QString &event, qint64 delta, qint64 inactiveDelta,
                qint64 amount, const QString &terminal, const QString &session,
                const QString &clientSession, LedgerReply &reply);
    // Money held by the card's pending payments and earning reversals.
    qint64 held(const QString &card);

    // Operations tried again after a conflict or a lost connection, and
    // those that failed in the end, since the start.
    static quint64 retries();
    static quint64 failures();

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
        QString group;
    };
    class Work;

    friend class BonusLots;

    QSqlDatabase &connection();
    // Runs one database transaction under the request deadline; the one
    // place where failures are tried again. writing() for one that may
    // write: on SQLite it runs on the writer.
    template<typename Operation>
    auto retrying(Operation operation, bool writes = false) -> decltype(operation());
    template<typename Operation> auto writing(Operation operation) -> decltype(operation())
    {
        return retrying(operation, true);
    }
    // The writer's batch: the writes in one SQLite transaction, each under a
    // savepoint of its own, committed together.
    void writeBatch(const std::vector<LedgerWriter::Write *> &writes);
    // Connects if need be and sets the lock wait from the time left.
    void startAttempt(const QDeadlineTimer &deadline);
    void createTables();
    void upgradeSQLiteLedger();
    // Columns added since the first tables: card status, transaction group,
    // history's inactive change.
    void addColumns();
    bool hasColumn(const QString &table, const QString &column);
    // Adds the card's counter and the history's order to a ledger made
    // without them.
    void addOrdering();
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
    // The checks and the pending row of open(), in the caller's database
    // transaction; false with the refusal in `reply`.
    bool openLocked(Kind kind, const QString &terminalId, const QString &clientSessionId,
                    const QString &cardNumber, qint64 amount, qint64 dateFromCash,
                    const BonusGroup &group, LedgerReply &reply);
    // Commits a pending transaction of the locked card; false with the refusal.
    bool commitLocked(const Transaction &transaction, LedgerReply &reply);
    void finish(const Transaction &transaction, const QString &state, const QString &event,
                qint64 delta, LedgerReply &reply, qint64 inactiveDelta = 0);
    // Raises the card's counter: this transaction has decided on its money.
    void claimCard(const QString &card);
    // A line of the card's history; claims the card and takes its counter.
    void record(const QString &card, const QString &event, qint64 delta, qint64 balance,
                qint64 amount, const QString &terminal, const QString &session,
                const QString &clientSession, qint64 inactiveDelta = 0);
    bool overdue(const Transaction &transaction) const;
    static QString describe(const QString &event, const Transaction &transaction, qint64 balance);

    const LedgerAddress m_address;
    const bool m_mariaDb;
    const qint64 m_pendingTtlMs;
    const qint64 m_requestDeadlineMs;
    // SQLite only.
    std::unique_ptr<LedgerWriter> m_writer;
};

#endif // LEDGER_H
