#include "Ledger.h"

#include "AssetBook.h"
#include "BalanceSnapshots.h"
#include "BonusLots.h"
#include "CardMask.h"
#include "LedgerError.h"
#include "SimOptions.h"
#include "TerminalRegistry.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

namespace {

const auto statePending = QStringLiteral("pending");
const auto stateCommitted = QStringLiteral("committed");
const auto stateRolledBack = QStringLiteral("rolledBack");
const auto kindPay = QStringLiteral("pay");
const auto kindPayBack = QStringLiteral("payBack");
const auto kindEarn = QStringLiteral("earn");
const auto kindEarnBack = QStringLiteral("earnBack");
const auto kindAdd = QStringLiteral("add");
const auto kindSub = QStringLiteral("sub");

const auto noCard = QStringLiteral("Карта не найдена");
const auto noMoney = QStringLiteral("Недостаточно средств на карте");
const auto noSession = QStringLiteral("Транзакция не найдена");
const auto otherCard = QStringLiteral("Карта не соответствует транзакции");
const auto rolledBackAlready = QStringLiteral("Транзакция уже отменена");
const auto notPaid = QStringLiteral("Возврат больше оплаченного по карте");
const auto refundedAlready = QStringLiteral("Отмена невозможна: по карте уже сделан возврат");
const auto outOfRange = QStringLiteral("Сумма выходит за допустимые пределы");
const auto notEarned = QStringLiteral("Отмена начисления больше начисленного по карте");
const auto earnedBackAlready = QStringLiteral("Отмена невозможна: начисление уже возвращено");

// Exact sums of kopecks: a card's payments over its life may add up beyond
// 64 bits even though no balance ever does.
using Wide = __int128;

// A transaction moves more than nothing: anything else is refused before
// the ledger is asked.
std::optional<LedgerReply> refusedAmount(qint64 amount)
{
    if (amount > 0)
        return std::nullopt;
    LedgerReply reply;
    reply.description = QStringLiteral("Сумма операции должна быть больше нуля");
    return reply;
}

// The server's own session ids; anything else a till sends is its own id.
bool isSessionId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{32}$"));
    return pattern.match(id).hasMatch();
}

// `after` = `balance` + `delta`; false when that leaves 64 bits.
bool shifted(qint64 balance, qint64 delta, qint64 &after)
{
    return !__builtin_add_overflow(balance, delta, &after);
}

// Money leaves the card when a transaction of this kind is committed, and
// comes back when it is voided.
bool debits(const QString &kind)
{
    return kind == kindPay || kind == kindEarnBack || kind == kindSub;
}

// Why a card in this state may not open a transaction of this kind; empty
// when it may. Reversals of what was done before are always let through.
QString statusRefusal(Ledger::Kind kind, Ledger::CardState state)
{
    const bool spends = kind == Ledger::Kind::Pay || kind == Ledger::Kind::Sub;
    const bool earns = kind == Ledger::Kind::Earn || kind == Ledger::Kind::Add;
    if (!spends && !earns)
        return QString();
    switch (state) {
    case Ledger::CardState::Active:
        return QString();
    case Ledger::CardState::Blocked:
        return QStringLiteral("Карта заблокирована");
    case Ledger::CardState::Withdrawn:
        return QStringLiteral("Карта выведена из обращения");
    case Ledger::CardState::Anonymous:
        // Bonus on a card nobody has registered is kept, not spent: a lost
        // anonymous card cannot be blocked by its owner.
        return spends ? QStringLiteral("Анонимная карта: оплата бонусами после регистрации")
                      : QString();
    }
    return QStringLiteral("Неизвестное состояние карты");
}

QString nowText()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

[[noreturn]] void fail(const QString &what, const QSqlError &error)
{
    QString text = what;
    const QString driver = error.driverText();
    const QString database = error.databaseText();
    if (!driver.isEmpty())
        text += QStringLiteral(": ") + driver;
    if (!database.isEmpty() && database != driver)
        text += QStringLiteral(": ") + database;

    // MariaDB's own numbers: a deadlock or a lock wait given up (the
    // transaction is rolled back by us if not by the server); the server gone
    // or the connection lost mid-statement. SQLite's busy and locked.
    const QString code = error.nativeErrorCode();
    LedgerError::Cause cause = LedgerError::Cause::Other;
    if (code == QLatin1String("1213") || code == QLatin1String("1205") || code == QLatin1String("5")
        || code == QLatin1String("6"))
        cause = LedgerError::Cause::Conflict;
    else if (code == QLatin1String("2006") || code == QLatin1String("2013"))
        cause = LedgerError::Cause::ConnectionLost;
    throw LedgerError(text.toStdString(), cause);
}

// The connection this thread uses and its prepared statements, kept for the
// thread's life (the server's workers are a fixed pool) and closed at its end.
struct ThreadConnection
{
    QString name;
    QSqlDatabase db;
    QHash<QString, QSqlQuery> statements;
    // The lock wait last set on this connection, so it is set again only
    // when the time left calls for another.
    qint64 lockWaitMs = -1;
    // This attempt's COMMIT went out: if the connection is lost now, it may
    // have gone through. Cleared as each attempt starts.
    bool commitSent = false;
    // The writer's connection leaves checkpoints to another thread.
    bool checkpointsElsewhere = false;
    // A Galera node's connection sends every statement as text, its values
    // written in. MariaDB (10.11) runs the next *prepared* statement of a
    // transaction that another node's write aborted while it sat between
    // statements outside any transaction, committed on its own (a lost
    // update); a text statement gets the deadlock, as it should.
    bool textOnly = false;
    QSqlQuery text;

    ~ThreadConnection() { release(); }

    void release()
    {
        if (name.isEmpty())
            return;
        statements.clear();
        text = QSqlQuery();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        name.clear();
        lockWaitMs = -1;
        checkpointsElsewhere = false;
        textOnly = false;
        // commitSent stays: it is what tells a lost COMMIT from a lost
        // statement once the connection is gone.
    }
};

thread_local ThreadConnection threadConnection;
// The deadline of the request this thread is serving; none outside one.
thread_local QDeadlineTimer requestDeadline(QDeadlineTimer::Forever);
// When that request arrived, if the server said.
thread_local std::chrono::steady_clock::time_point requestArrival;
QAtomicInteger<quint64> connectionCounter;
// For /metrics: operations tried again, and those that failed in the end.
QAtomicInteger<quint64> retryCounter;
QAtomicInteger<quint64> failureCounter;

// On the writer thread, while it runs a batch: each write's transaction is
// a savepoint in the batch's. Set when a savepoint could not be undone, so
// the batch as a whole must go.
thread_local bool writingBatch = false;
thread_local bool batchBroken = false;
const auto savepoint = QStringLiteral("write");

LedgerError deadlineError(const QString &cause = QString())
{
    QString text = QStringLiteral("the request ran out of time and was rolled back");
    if (!cause.isEmpty())
        text += QStringLiteral(": ") + cause;
    return LedgerError(text.toStdString(), LedgerError::Cause::Deadline);
}

[[noreturn]] void pastDeadline(const QString &cause = QString())
{
    throw deadlineError(cause);
}

// Before a conflict is tried again: a pause that doubles with each attempt,
// drawn at random from its upper half, so that the servers the conflict set
// against each other do not meet again in step; never past the deadline.
void pauseBeforeRetry(int attempt, const QDeadlineTimer &deadline, const LedgerError &conflict)
{
    const qint64 ceiling = std::min(SimOptions::retryLongestPauseMs,
                                    SimOptions::retryFirstPauseMs << std::min(attempt - 1, 20));
    const qint64 pause = ceiling - QRandomGenerator::global()->bounded(int(ceiling / 2) + 1);
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::min(pause, deadline.remainingTime())));
    if (deadline.hasExpired())
        pastDeadline(QString::fromUtf8(conflict.what()));
}

// `sql` with each ? replaced by its value: numbers as they are, text as a
// hex literal of its UTF-8 (nothing in it to escape), null as NULL. The
// statements here hold no ? of their own.
QString inlined(const QString &sql, const QVariantList &values)
{
    QString text;
    int next = 0;
    for (const QChar c : sql) {
        if (c != QLatin1Char('?') || next >= values.size()) {
            text += c;
            continue;
        }
        const QVariant &value = values.at(next++);
        const int type = value.userType();
        if (value.isNull() || (type == QMetaType::QString && value.toString().isNull()))
            text += QStringLiteral("NULL");
        else if (type == QMetaType::Int || type == QMetaType::LongLong || type == QMetaType::UInt
                 || type == QMetaType::ULongLong)
            text += value.toString();
        else
            text += QStringLiteral("_utf8mb4 X'")
                + QString::fromLatin1(value.toString().toUtf8().toHex()) + QLatin1Char('\'');
    }
    return text;
}

// Runs a prepared statement of this thread's connection (or its text, see
// ThreadConnection::textOnly). Callers read what they need and then
// finish() it, so no statement keeps a read open.
QSqlQuery &run(const QString &what, const QString &sql, const QVariantList &values = {})
{
    ThreadConnection &connection = threadConnection;
    if (connection.textOnly) {
        QSqlQuery &query = connection.text;
        if (!query.exec(inlined(sql, values))) {
            const QSqlError error = query.lastError();
            query.finish();
            fail(what, error);
        }
        return query;
    }
    auto found = connection.statements.find(sql);
    if (found == connection.statements.end()) {
        QSqlQuery query(connection.db);
        query.setForwardOnly(true);
        if (!query.prepare(sql))
            fail(what, query.lastError());
        found = connection.statements.insert(sql, query);
    }
    QSqlQuery &query = *found;
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    if (!query.exec()) {
        const QSqlError error = query.lastError();
        query.finish();
        fail(what, error);
    }
    return query;
}

int change(const QString &what, const QString &sql, const QVariantList &values)
{
    QSqlQuery &query = run(what, sql, values);
    const int affected = query.numRowsAffected();
    query.finish();
    return affected;
}

QVector<QVariantList> rows(const QString &what, const QString &sql, const QVariantList &values,
                           int columns)
{
    QSqlQuery &query = run(what, sql, values);
    QVector<QVariantList> result;
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < columns; ++i)
            row.append(query.value(i));
        result.append(row);
    }
    query.finish();
    return result;
}

// A statement that is not worth preparing (transaction control, schema).
void plain(const QString &what, const QString &sql)
{
    QSqlQuery query(threadConnection.db);
    if (!query.exec(sql))
        fail(what, query.lastError());
}

// InnoDB counts lock waits in whole seconds. Rounded up, a wait may end up to
// a second late; Work::commit() then rolls back rather than commits.
void setMariaDbLockWait(qint64 ms)
{
    const qint64 seconds = (ms + 999) / 1000;
    if (seconds * 1000 == threadConnection.lockWaitMs)
        return;
    // Row locks, and the table locks a schema change would hold.
    plain(QStringLiteral("cannot set the ledger's lock wait"),
          QStringLiteral("SET SESSION innodb_lock_wait_timeout = %1, lock_wait_timeout = %1")
              .arg(seconds));
    threadConnection.lockWaitMs = seconds * 1000;
}

// SQLite's wait for another process's write lock, from the time left. Set
// again only when the time left calls for another.
void setSQLiteBusyWait(qint64 left)
{
    ThreadConnection &current = threadConnection;
    if (current.lockWaitMs <= left && current.lockWaitMs >= left - 500)
        return;
    // Whole tenths, so that requests a millisecond apart share one.
    const qint64 waitMs = left > 100 ? left - left % 100 : left;
    plain(QStringLiteral("cannot set the ledger's lock wait"),
          QStringLiteral("PRAGMA busy_timeout = %1").arg(waitMs));
    current.lockWaitMs = waitMs;
}

// A card's payments, refunds, earnings and their reversals, committed and
// pending.
struct Totals
{
    Wide paid = 0;
    Wide refunded = 0;
    Wide refundHeld = 0;
    Wide earned = 0;
    Wide earnedBack = 0;
    Wide earnBackHeld = 0;
    // Promised away by pending payments and earning reversals.
    Wide held = 0;
};

// Exact however many transactions there are: SQLite fails a sum beyond 64
// bits and MariaDB hands a DECIMAL sum to Qt as a rounded double, so each
// amount is summed in two 32-bit halves, which no sum of fewer than 2^31
// rows can overflow, and the halves are joined here.
Totals cardTotals(const QString &card, bool committedToo)
{
    const QVector<QVariantList> sums
        = rows(QStringLiteral("cannot read the transactions of %1").arg(CardMask::shown(card)),
               QStringLiteral("SELECT kind, state, CAST(SUM(amount >> 32) AS SIGNED),"
                              " CAST(SUM(amount & 4294967295) AS SIGNED) FROM transactions"
                              " WHERE card_number = ? AND state IN (?, ?) GROUP BY kind, state"),
               {card, statePending, committedToo ? stateCommitted : statePending}, 4);
    Totals totals;
    for (const QVariantList &row : sums) {
        const Wide sum = Wide(row.at(2).toLongLong()) * (Wide(1) << 32) + row.at(3).toLongLong();
        const bool pending = row.at(1).toString() == statePending;
        const QString kind = row.at(0).toString();
        if (kind == kindPay) {
            (pending ? totals.held : totals.paid) += sum;
        } else if (kind == kindPayBack) {
            (pending ? totals.refundHeld : totals.refunded) += sum;
        } else if (kind == kindEarn) {
            if (!pending)
                totals.earned += sum;
        } else if (kind == kindEarnBack) {
            (pending ? totals.earnBackHeld : totals.earnedBack) += sum;
            if (pending)
                totals.held += sum;
        }
    }
    return totals;
}

} // namespace

// One database transaction: rolled back unless commit() was reached.
class Ledger::Work
{
public:
    explicit Work(Ledger &ledger)
    {
        ledger.connection();
        if (writingBatch) {
            // In the writer's batch: this write alone can be undone.
            plain(QStringLiteral("cannot begin a transaction"),
                  QStringLiteral("SAVEPOINT ") + savepoint);
            return;
        }
        // BEGIN IMMEDIATE takes SQLite's write lock at once, so another process
        // on the same file cannot slip in between our check and our update.
        plain(QStringLiteral("cannot begin a transaction"),
              ledger.m_mariaDb ? QStringLiteral("START TRANSACTION")
                               : QStringLiteral("BEGIN IMMEDIATE"));
    }

    ~Work()
    {
        if (m_done || threadConnection.name.isEmpty())
            return;
        if (writingBatch) {
            QSqlQuery query(threadConnection.db);
            if (!query.exec(QStringLiteral("ROLLBACK TO ") + savepoint)
                || !query.exec(QStringLiteral("RELEASE ") + savepoint))
                batchBroken = true;
            return;
        }
        // A connection whose transaction may still be open must not serve
        // the next request (its START TRANSACTION would commit this one):
        // closed, it is rolled back by the database.
        QSqlQuery query(threadConnection.db);
        if (!query.exec(QStringLiteral("ROLLBACK")))
            threadConnection.release();
    }

    void commit()
    {
        // Past its deadline the till may have given up and sent a reversal
        // that found nothing: what this request did must not land after it.
        if (requestDeadline.hasExpired())
            pastDeadline();
        if (writingBatch) {
            // Committed with the batch, a few milliseconds on: well within
            // the margin between the deadline and the till's limit.
            plain(QStringLiteral("cannot commit a transaction"),
                  QStringLiteral("RELEASE ") + savepoint);
            m_done = true;
            return;
        }
        threadConnection.commitSent = true;
        plain(QStringLiteral("cannot commit a transaction"), QStringLiteral("COMMIT"));
        m_done = true;
    }

private:
    bool m_done = false;
};

Ledger::Ledger(const LedgerAddress &address, qint64 pendingTtlMs, qint64 requestDeadlineMs)
    : m_address(address)
    , m_mariaDb(address.kind == LedgerAddress::Kind::MariaDb)
    , m_pendingTtlMs(pendingTtlMs)
    , m_requestDeadlineMs(requestDeadlineMs)
{
    createTables();
    if (!m_mariaDb)
        m_writer = std::make_unique<LedgerWriter>(
            [this](const std::vector<LedgerWriter::Write *> &writes) { writeBatch(writes); },
            [this] {
                connection();
                plain(QStringLiteral("cannot copy the ledger's log into its file"),
                      QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
            });
}

Ledger::~Ledger() = default;

bool Ledger::addCardIfMissing(const QString &number, qint64 balance, qint64 balanceInactive)
{
    return writing([&] {
        Work work(*this);
        const bool added
            = change(QStringLiteral("cannot add card %1").arg(CardMask::shown(number)),
                     m_mariaDb ? QStringLiteral("INSERT IGNORE INTO cards (number, balance,"
                                                " balance_inactive) VALUES (?, ?, ?)")
                               : QStringLiteral("INSERT OR IGNORE INTO cards (number, balance,"
                                                " balance_inactive) VALUES (?, ?, ?)"),
                     {number, balance, balanceInactive})
            > 0;
        if (added)
            record(number, QStringLiteral("opening balance"), balance, balance, 0, {}, {}, {},
                   balanceInactive);
        work.commit();
        return added;
    });
}

LedgerReply Ledger::balance(const QString &cardNumber)
{
    return retrying([&] {
        LedgerReply reply;
        const QVector<QVariantList> found
            = rows(QStringLiteral("cannot read card %1").arg(CardMask::shown(cardNumber)),
                   QStringLiteral("SELECT balance, balance_inactive FROM cards WHERE number = ?"),
                   {cardNumber}, 2);
        if (found.isEmpty()) {
            reply.description = noCard;
            return reply;
        }
        reply.balance = found.first().at(0).toLongLong();
        reply.balanceInactive = found.first().at(1).toLongLong();
        reply.accepted = true;
        reply.description = QStringLiteral("Баланс получен");
        return reply;
    });
}

LedgerReply Ledger::open(Kind kind, const QString &terminalId, const QString &clientSessionId,
                         const QString &cardNumber, qint64 amount, qint64 dateFromCash,
                         const BonusGroup &group)
{
    if (const std::optional<LedgerReply> refused = refusedAmount(amount))
        return *refused;

    return writing([&] {
        LedgerReply reply;
        Work work(*this);
        if (openLocked(kind, terminalId, clientSessionId, cardNumber, amount, dateFromCash, group,
                       reply))
            work.commit();
        return reply;
    });
}

LedgerReply Ledger::apply(Kind kind, const QString &terminalId, const QString &clientSessionId,
                          const QString &cardNumber, qint64 amount, qint64 dateFromCash,
                          const BonusGroup &group)
{
    if (const std::optional<LedgerReply> refused = refusedAmount(amount))
        return *refused;

    return writing([&] {
        LedgerReply reply;
        Work work(*this);
        if (!openLocked(kind, terminalId, clientSessionId, cardNumber, amount, dateFromCash, group,
                        reply))
            return reply;
        // Opened and committed in one database transaction: a refusal of the
        // commit leaves nothing behind.
        Transaction transaction;
        if (!findTransaction(terminalId, By::SessionId, reply.sessionId, transaction))
            throw LedgerError("a transaction vanished under its card's lock");
        reply.accepted = false;
        if (!commitLocked(transaction, reply))
            return reply;
        work.commit();
        reply.accepted = true;
        reply.sessionId = transaction.sessionId;
        switch (kind) {
        case Kind::PayBack:
            reply.description = QStringLiteral("Возврат проведён");
            break;
        case Kind::Add:
        case Kind::Earn:
            reply.description = QStringLiteral("Бонусы начислены");
            break;
        case Kind::Sub:
        case Kind::EarnBack:
            reply.description = QStringLiteral("Бонусы списаны");
            break;
        case Kind::Pay:
            reply.description = QStringLiteral("Оплата проведена");
            break;
        }
        return reply;
    });
}

bool Ledger::openLocked(Kind kind, const QString &terminalId, const QString &clientSessionId,
                        const QString &cardNumber, qint64 amount, qint64 dateFromCash,
                        const BonusGroup &group, LedgerReply &reply)
{
    CardState state = CardState::Active;
    if (!lockCard(cardNumber, reply, &state)) {
        reply.description = noCard;
        return false;
    }
    reply.description = statusRefusal(kind, state);
    if (!reply.description.isEmpty())
        return false;

    // Under the card's lock, so a rollback that found nothing and this
    // payment cannot pass each other.
    if (reversedBeforehand(terminalId, clientSessionId)) {
        reply.description = rolledBackAlready;
        return false;
    }

    // Bonus comes in a group that is known from then on; money taken back
    // or off names the group to take it from first.
    const bool credits = kind == Kind::Earn || kind == Kind::Add;
    if (credits) {
        reply.description = BonusLots::admit(group, m_mariaDb);
        if (!reply.description.isEmpty())
            return false;
    } else if (group.dated() && !group.named()) {
        reply.description = BonusLots::admit(group, m_mariaDb);
        return false;
    }

    // Only a refund or an earning's reversal needs the committed sums, which
    // grow with the card's life.
    const Totals totals = cardTotals(cardNumber, kind == Kind::PayBack || kind == Kind::EarnBack);
    switch (kind) {
    case Kind::Pay:
    case Kind::Sub:
        // Money promised to pending payments is not there to promise again.
        if (amount > Wide(reply.balance) - totals.held) {
            reply.description = noMoney;
            return false;
        }
        break;
    case Kind::PayBack:
        // A refund gives back what was paid, never more.
        if (amount > totals.paid - totals.refunded - totals.refundHeld) {
            reply.description = notPaid;
            return false;
        }
        break;
    case Kind::EarnBack:
        if (amount > totals.earned - totals.earnedBack - totals.earnBackHeld) {
            reply.description = notEarned;
            return false;
        }
        // Taken from the group's bonus first, spendable or not yet.
        if (amount
            > Wide(reply.balance) - totals.held + BonusLots::inactiveLeft(cardNumber, group.id)) {
            reply.description = noMoney;
            return false;
        }
        break;
    case Kind::Earn:
    case Kind::Add:
        // Whether it fits in 64 bits is known only at the commit.
        break;
    }

    const QString sessionId = newSessionId();
    const QString name = kindName(kind);
    change(QStringLiteral("cannot record a transaction"),
           QStringLiteral("INSERT INTO transactions (session_id, kind, terminal_id,"
                          " client_session_id, card_number, amount, date_from_cash, state,"
                          " created_at, created_ms, group_id)"
                          " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
           {sessionId, name, terminalId, clientSessionId, cardNumber, amount, dateFromCash,
            statePending, nowText(), QDateTime::currentMSecsSinceEpoch(),
            group.id.isNull() ? QStringLiteral("") : group.id});
    record(cardNumber, noun(name) + QStringLiteral(" pending"), 0, reply.balance, amount,
           terminalId, sessionId, clientSessionId);

    reply.accepted = true;
    reply.sessionId = sessionId;
    switch (kind) {
    case Kind::Pay:
    case Kind::Sub:
        reply.description = QStringLiteral("Оплата ожидает подтверждения");
        break;
    case Kind::PayBack:
        reply.description = QStringLiteral("Возврат ожидает подтверждения");
        break;
    case Kind::Earn:
    case Kind::Add:
        reply.description = QStringLiteral("Начисление ожидает подтверждения");
        break;
    case Kind::EarnBack:
        reply.description = QStringLiteral("Отмена начисления ожидает подтверждения");
        break;
    }
    return true;
}

Ledger::Found Ledger::lockTransaction(const QString &terminalId, const QString &id,
                                      bool clientIdToo, const QString &cardNumber,
                                      Transaction &transaction, LedgerReply &reply)
{
    // The card first: what is read after it is what no other server can
    // change before this transaction ends.
    lockCard(cardNumber, reply);
    if (!findTransaction(terminalId, By::SessionId, id, transaction)
        && !(clientIdToo && findTransaction(terminalId, By::ClientId, id, transaction)))
        return Found::None;
    return transaction.card == cardNumber ? Found::Yes : Found::OtherCard;
}

LedgerReply Ledger::commit(const QString &terminalId, const QString &sessionId,
                           const QString &cardNumber)
{
    return writing([&] {
        LedgerReply reply;
        reply.sessionId = sessionId;
        Work work(*this);
        Transaction transaction;
        const Found found
            = lockTransaction(terminalId, sessionId, false, cardNumber, transaction, reply);
        if (found != Found::Yes) {
            reply.description = found == Found::None ? noSession : otherCard;
            reply.matchedNothing = found == Found::None;
            return reply;
        }

        if (transaction.state == stateCommitted) {
            // The till asks again when the answer to its commit was lost.
            reply.accepted = true;
            reply.description = QStringLiteral("Транзакция подтверждена");
            return reply;
        }
        if (transaction.state == stateRolledBack) {
            reply.description = rolledBackAlready;
            return reply;
        }
        if (overdue(transaction)) {
            const QString event = noun(transaction.kind) + QStringLiteral(" expired");
            finish(transaction, stateRolledBack, event, 0, reply);
            work.commit();
            reply.notices << describe(QStringLiteral("expired"), transaction, reply.balance);
            reply.description = QStringLiteral("Транзакция просрочена и отменена");
            return reply;
        }

        if (!commitLocked(transaction, reply))
            return reply;
        work.commit();
        reply.accepted = true;
        reply.description = QStringLiteral("Транзакция подтверждена");
        return reply;
    });
}

bool Ledger::commitLocked(const Transaction &transaction, LedgerReply &reply)
{
    BonusLots::Effect effect;
    if (debits(transaction.kind)) {
        // Bonus that ends soonest goes first; an earning's reversal takes its
        // group's bonus first, spendable or not yet.
        effect = BonusLots::take(transaction.card, transaction.amount, transaction.group,
                                 transaction.kind == kindEarnBack);
    } else if (transaction.kind == kindPayBack) {
        effect.active = transaction.amount;
    } else {
        effect = BonusLots::credit(transaction.card, transaction.id, transaction.group,
                                   transaction.amount);
    }
    // What the lots did is undone with the database transaction on a refusal.
    qint64 after = 0;
    qint64 inactiveAfter = 0;
    if (!shifted(reply.balance, effect.active, after)
        || !shifted(reply.balanceInactive, effect.inactive, inactiveAfter)) {
        reply.description = outOfRange;
        return false;
    }
    if (effect.active < 0 && after < 0) {
        reply.description = noMoney;
        return false;
    }
    finish(transaction, stateCommitted, noun(transaction.kind) + QStringLiteral(" committed"),
           effect.active, reply, effect.inactive);
    return true;
}

LedgerReply Ledger::rollback(const QString &terminalId, const QString &id,
                             const QString &cardNumber, const QString &reason)
{
    if (id.isEmpty()) {
        LedgerReply reply;
        reply.description = noSession;
        reply.matchedNothing = true;
        return reply;
    }
    return writing([&] {
        LedgerReply reply;
        reply.sessionId = id;
        Work work(*this);
        Transaction transaction;
        const Found found = lockTransaction(terminalId, id, true, cardNumber, transaction, reply);
        if (found == Found::OtherCard) {
            reply.description = otherCard;
            return reply;
        }
        if (found == Found::None) {
            reply.matchedNothing = true;
            // Session ids are ours: one we never gave is a mistake.
            if (isSessionId(id)) {
                reply.description = noSession;
                return reply;
            }
            // The till's own id, and nothing under it yet: its payment may
            // still be on its way (a till that gave up waiting sends this at
            // once). Acknowledged, and remembered so that it is refused on
            // arrival. The card's lock orders this against that payment
            // (its claim, against one on another node).
            claimCard(cardNumber);
            change(QStringLiteral("cannot remember a reversal"),
                   QStringLiteral("REPLACE INTO reversals (terminal_id, client_session_id,"
                                  " card_number, created_at, created_ms) VALUES (?, ?, ?, ?, ?)"),
                   {terminalId, id, cardNumber, nowText(), QDateTime::currentMSecsSinceEpoch()});
            work.commit();
            reply.accepted = true;
            reply.description = QStringLiteral("Транзакция не найдена, отмена запомнена");
            return reply;
        }
        reply.sessionId = transaction.sessionId;

        if (transaction.state == statePending) {
            finish(transaction, stateRolledBack,
                   noun(transaction.kind) + QStringLiteral(" rolled back"), 0, reply);
            if (!reason.isEmpty())
                AssetBook::noteLatest(transaction.sessionId, terminalId, reason);
            work.commit();
        } else if (transaction.state == stateCommitted) {
            // A void: the money goes back the way it came, even below zero,
            // but never twice: not when a refund already gave it back, nor
            // when an earning's reversal already took it back.
            const bool payment = transaction.kind == kindPay;
            if (payment || transaction.kind == kindEarn) {
                const Totals totals = cardTotals(transaction.card, true);
                if (payment ? totals.paid - transaction.amount < totals.refunded + totals.refundHeld
                            : totals.earned - transaction.amount
                            < totals.earnedBack + totals.earnBackHeld) {
                    reply.description = payment ? refundedAlready : earnedBackAlready;
                    return reply;
                }
            }
            BonusLots::Effect effect;
            if (debits(transaction.kind))
                effect.active = transaction.amount;
            else if (transaction.kind == kindPayBack)
                effect.active = -transaction.amount;
            else
                effect = BonusLots::revoke(transaction.id, transaction.amount);
            qint64 after = 0;
            qint64 inactiveAfter = 0;
            if (!shifted(reply.balance, effect.active, after)
                || !shifted(reply.balanceInactive, effect.inactive, inactiveAfter)) {
                reply.description = outOfRange;
                return reply;
            }
            finish(transaction, stateRolledBack, noun(transaction.kind) + QStringLiteral(" voided"),
                   effect.active, reply, effect.inactive);
            // Bonus still dated may not outlast the money that is left.
            if (effect.active < 0)
                BonusLots::trim(transaction.card, reply.balance);
            if (!reason.isEmpty())
                AssetBook::noteLatest(transaction.sessionId, terminalId, reason);
            work.commit();
            if (reply.balance < 0)
                reply.notices << describe(QStringLiteral("overdrawn"), transaction, reply.balance);
        }
        // A repeated rollback finds it rolled back already: the same answer.
        reply.accepted = true;
        reply.description = QStringLiteral("Транзакция отменена");
        return reply;
    });
}

LedgerReply Ledger::cancel(const QString &terminalId, const QString &id, int status)
{
    LedgerReply reply;
    reply.sessionId = id;
    // The card, from the transaction; the rollback locks it and looks again.
    QString card;
    if (!id.isEmpty()) {
        read([&] {
            Transaction transaction;
            card.clear();
            if (findTransaction(terminalId, By::SessionId, id, transaction)
                || findTransaction(terminalId, By::ClientId, id, transaction))
                card = transaction.card;
        });
    }
    if (card.isEmpty()) {
        reply.description = noSession;
        reply.matchedNothing = true;
        return reply;
    }
    return rollback(terminalId, id, card, QStringLiteral("cancelled with status %1").arg(status));
}

QStringList Ledger::expireOverdue()
{
    connection();
    const QVector<QVariantList> overdueIds
        = rows(QStringLiteral("cannot look for expired transactions"),
               QStringLiteral("SELECT id, terminal_id FROM transactions WHERE state = ?"
                              " AND created_ms <= ? ORDER BY id LIMIT 100"),
               {statePending, QDateTime::currentMSecsSinceEpoch() - m_pendingTtlMs}, 2);
    QStringList lines;
    for (const QVariantList &row : overdueIds) {
        // Logged once it is committed: a try that was undone logs nothing.
        const QString line = writing([&] {
            LedgerReply reply;
            Work work(*this);
            Transaction transaction;
            const QString terminal = row.at(1).toString();
            if (!findTransaction(terminal, By::RowId, row.at(0), transaction)
                || !lockCard(transaction.card, reply)
                || !findTransaction(terminal, By::RowId, row.at(0), transaction))
                return QString();
            // Another server may have expired, committed or rolled it back since.
            if (transaction.state != statePending || !overdue(transaction))
                return QString();
            finish(transaction, stateRolledBack,
                   noun(transaction.kind) + QStringLiteral(" expired"), 0, reply);
            work.commit();
            return describe(QStringLiteral("expired"), transaction, reply.balance);
        });
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
}

int Ledger::forgetOldReversals()
{
    return writing([&] {
        return change(QStringLiteral("cannot forget old reversals"),
                      QStringLiteral("DELETE FROM reversals WHERE created_ms <= ?"),
                      {QDateTime::currentMSecsSinceEpoch() - SimOptions::reversalMemoryMs});
    });
}

bool Ledger::history(const QString &cardNumber, LedgerReply &card, QVector<Event> &events)
{
    card = balance(cardNumber);
    if (!card.accepted)
        return false;
    const QVector<QVariantList> found
        = rows(QStringLiteral("cannot read the history of %1").arg(CardMask::shown(cardNumber)),
               QStringLiteral("SELECT at, event, delta, balance, amount, terminal_id, session_id,"
                              " client_session_id, inactive_delta FROM history"
                              " WHERE card_number = ? ORDER BY seq, id"),
               {cardNumber}, 9);
    for (const QVariantList &row : found) {
        Event event;
        event.at = row.at(0).toString();
        event.event = row.at(1).toString();
        event.delta = row.at(2).toLongLong();
        event.balance = row.at(3).toLongLong();
        event.amount = row.at(4).toLongLong();
        event.terminal = row.at(5).toString();
        event.session = row.at(6).toString();
        event.clientSession = row.at(7).toString();
        event.inactiveDelta = row.at(8).toLongLong();
        events.append(event);
    }
    return true;
}

QString Ledger::newSessionId()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    QString id;
    for (quint32 word : words)
        id += QStringLiteral("%1").arg(word, 8, 16, QLatin1Char('0'));
    return id;
}

void Ledger::setRequestArrival(std::chrono::steady_clock::time_point arrival)
{
    requestArrival = arrival;
}

QString Ledger::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Pay:
        return kindPay;
    case Kind::PayBack:
        return kindPayBack;
    case Kind::Earn:
        return kindEarn;
    case Kind::EarnBack:
        return kindEarnBack;
    case Kind::Add:
        return kindAdd;
    case Kind::Sub:
        return kindSub;
    }
    return QString();
}

QString Ledger::noun(const QString &kind)
{
    if (kind == kindPay)
        return QStringLiteral("payment");
    if (kind == kindPayBack)
        return QStringLiteral("refund");
    if (kind == kindEarn)
        return QStringLiteral("earning");
    if (kind == kindEarnBack)
        return QStringLiteral("earning reversal");
    if (kind == kindAdd)
        return QStringLiteral("credit");
    return QStringLiteral("debit");
}

void Ledger::transact(const std::function<bool()> &work)
{
    writing([&] {
        Work transaction(*this);
        if (work())
            transaction.commit();
        return 0;
    });
}

void Ledger::read(const std::function<void()> &work)
{
    retrying([&] {
        work();
        return 0;
    });
}

int Ledger::execute(const QString &what, const QString &sql, const QVariantList &values)
{
    return change(what, sql, values);
}

QVector<QVariantList> Ledger::select(const QString &what, const QString &sql,
                                     const QVariantList &values, int columns)
{
    return rows(what, sql, values, columns);
}

qint64 Ledger::count(const QString &what, const QString &sql, const QVariantList &values)
{
    return rows(what, sql, values, 1).value(0).value(0).toLongLong();
}

void Ledger::define(const QString &what, const QString &sql)
{
    plain(what, sql);
}

quint64 Ledger::retries()
{
    return retryCounter.loadRelaxed();
}

quint64 Ledger::failures()
{
    return failureCounter.loadRelaxed();
}

void Ledger::closeThreadConnection()
{
    threadConnection.release();
}

QSqlDatabase &Ledger::connection()
{
    ThreadConnection &connection = threadConnection;
    if (!connection.name.isEmpty())
        return connection.db;

    const QString name = QStringLiteral("ledger-%1").arg(connectionCounter.fetchAndAddRelaxed(1));
    QSqlDatabase db;
    if (m_mariaDb) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(m_address.host);
        db.setPort(m_address.port);
        db.setUserName(m_address.user);
        db.setPassword(m_address.password);
        db.setDatabaseName(m_address.database);
        // Bounded waits: a frozen database server fails the call about when
        // its request runs out of time, instead of holding a worker for ever.
        // Connecting gets what is left of this request (whole seconds, at
        // most 5); a read or write a second more than a whole request, so
        // that a lock wait given up at the deadline is reported as such
        // rather than as a lost connection.
        const qint64 left
            = requestDeadline.isForever() ? m_requestDeadlineMs : requestDeadline.remainingTime();
        const qint64 seconds = m_requestDeadlineMs / 1000 + 1;
        QString options = QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=%1;MYSQL_OPT_READ_TIMEOUT=%2;"
                                         "MYSQL_OPT_WRITE_TIMEOUT=%2")
                              .arg(std::clamp<qint64>((left + 999) / 1000, 1, 5))
                              .arg(seconds);
        if (!m_address.socket.isEmpty())
            options += QStringLiteral(";UNIX_SOCKET=") + m_address.socket;
        db.setConnectOptions(options);
    } else {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(m_address.path);
        // Other workers and other servers write the same file; wait for
        // them, for as long as a request may take.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_requestDeadlineMs));
    }
    connection.name = name;
    connection.db = db;
    if (!db.open()) {
        const QSqlError error = db.lastError();
        db = QSqlDatabase();
        connection.release();
        fail(QStringLiteral("cannot open ledger %1").arg(m_address.describe()), error);
    }
    try {
        if (m_mariaDb) {
            // Each statement sees what others committed before it; the card's
            // row lock orders everything else.
            plain(QStringLiteral("cannot set up the ledger connection"),
                  QStringLiteral("SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED"));
            // A Galera node commits before the others have applied the
            // write: each transaction's first statement (and each statement
            // outside one) waits until this node has applied everything the
            // cluster committed before it, so a decision never rests on a
            // stale read. One wait per transaction: reads, writes, inserts.
            QSqlQuery wsrep(connection.db);
            if (wsrep.exec(QStringLiteral("SHOW VARIABLES LIKE 'wsrep_on'")) && wsrep.next()
                && wsrep.value(1).toString() == QLatin1String("ON")) {
                plain(QStringLiteral("cannot set up the ledger connection"),
                      QStringLiteral("SET SESSION wsrep_sync_wait = 7"));
                connection.textOnly = true;
                connection.text = QSqlQuery(connection.db);
                connection.text.setForwardOnly(true);
            }
            // Statements outside a request (start-up, the sweeper's look)
            // wait no longer than one; startAttempt() sets each request's.
            setMariaDbLockWait(m_requestDeadlineMs);
        } else {
            // Every commit reaches the disk before the till hears of it.
            plain(QStringLiteral("cannot set up the ledger connection"),
                  QStringLiteral("PRAGMA synchronous = FULL"));
            connection.lockWaitMs = m_requestDeadlineMs;
        }
    } catch (const LedgerError &) {
        connection.release();
        throw;
    }
    return connection.db;
}

template<typename Operation>
auto Ledger::retrying(Operation operation, bool writes) -> decltype(operation())
{
    const QDeadlineTimer deadline = requestArrival == std::chrono::steady_clock::time_point()
        ? QDeadlineTimer(m_requestDeadlineMs)
        : QDeadlineTimer(requestArrival + std::chrono::milliseconds(m_requestDeadlineMs));
    requestDeadline = deadline;
    struct Scope
    {
        ~Scope() { requestDeadline = QDeadlineTimer(QDeadlineTimer::Forever); }
    } scope;

    const bool handedOver = writes && m_writer;
    for (int attempt = 1;; ++attempt) {
        try {
            if (handedOver) {
                if (deadline.hasExpired())
                    pastDeadline();
                std::optional<decltype(operation())> result;
                m_writer->run([&] { result.emplace(operation()); }, deadline);
                return std::move(*result);
            }
            startAttempt(deadline);
            return operation();
        } catch (const LedgerError &e) {
            // A conflict left nothing of the transaction, nor did a
            // connection lost before the COMMIT went out (the database rolls
            // back what a closed connection left open): both may be tried
            // again while there is time. A lost COMMIT may have gone through.
            const bool lost = e.cause() == LedgerError::Cause::ConnectionLost && !handedOver;
            const bool clean = e.cause() == LedgerError::Cause::Conflict
                || (lost && !threadConnection.commitSent);
            if (lost)
                closeThreadConnection();
            if (!clean || deadline.hasExpired())
                failureCounter.fetchAndAddRelaxed(1);
            if (!clean)
                throw;
            retryCounter.fetchAndAddRelaxed(1);
            pauseBeforeRetry(attempt, deadline, e);
        }
    }
}

void Ledger::writeBatch(const std::vector<LedgerWriter::Write *> &writes)
{
    // What is past its deadline does not start; the file's lock is waited
    // for no longer than the earliest deadline of the rest.
    std::vector<LedgerWriter::Write *> live;
    qint64 wait = -1;
    try {
        connection();
    } catch (const LedgerError &) {
        // Each write hears of it; with none (the writer's start), the first
        // write tries again.
        for (LedgerWriter::Write *write : writes)
            write->error = std::current_exception();
        return;
    }
    for (LedgerWriter::Write *write : writes) {
        const qint64 left
            = write->deadline.isForever() ? m_requestDeadlineMs : write->deadline.remainingTime();
        if (left == 0) {
            write->error = std::make_exception_ptr(deadlineError());
            continue;
        }
        live.push_back(write);
        wait = wait < 0 ? left : std::min(wait, left);
    }
    if (live.empty())
        return;
    try {
        if (!threadConnection.checkpointsElsewhere) {
            // The checkpointing thread does them (see LedgerWriter).
            plain(QStringLiteral("cannot set up the ledger connection"),
                  QStringLiteral("PRAGMA wal_autocheckpoint = 0"));
            threadConnection.checkpointsElsewhere = true;
        }
        setSQLiteBusyWait(wait);
        plain(QStringLiteral("cannot begin a transaction"), QStringLiteral("BEGIN IMMEDIATE"));
    } catch (const LedgerError &) {
        // Busy: each worker tries again while its request has time.
        for (LedgerWriter::Write *write : live)
            write->error = std::current_exception();
        return;
    }

    writingBatch = true;
    batchBroken = false;
    for (LedgerWriter::Write *write : live) {
        requestDeadline = write->deadline;
        try {
            write->work();
        } catch (...) {
            // Handed to the write's worker, which rethrows it.
            write->error = std::current_exception();
        }
        if (batchBroken)
            break;
    }
    writingBatch = false;
    requestDeadline = QDeadlineTimer(QDeadlineTimer::Forever);

    const auto failAll = [&](const LedgerError &error) {
        for (LedgerWriter::Write *write : live) {
            if (!write->error)
                write->error = std::make_exception_ptr(error);
        }
    };
    if (batchBroken) {
        // Nothing of the batch stays: what ran is undone with the rest.
        closeThreadConnection();
        failAll(LedgerError("a write of the batch could not be undone alone; the batch was"
                            " rolled back",
                            LedgerError::Cause::Conflict));
        return;
    }
    try {
        plain(QStringLiteral("cannot commit a transaction"), QStringLiteral("COMMIT"));
    } catch (const LedgerError &e) {
        // Whether any of it reached the disk is not known.
        QSqlQuery rollback(threadConnection.db);
        if (!rollback.exec(QStringLiteral("ROLLBACK")))
            closeThreadConnection();
        failAll(LedgerError(e.what(), LedgerError::Cause::Other));
    }
}

void Ledger::startAttempt(const QDeadlineTimer &deadline)
{
    threadConnection.commitSent = false;
    if (deadline.hasExpired())
        pastDeadline();
    connection();
    const qint64 left = deadline.remainingTime();
    if (left <= 0)
        pastDeadline(QStringLiteral("connecting to the ledger took the time"));

    // A lock wait never outlasts the request: the database gives up on it
    // about when the till would. Set again only when the time left calls for
    // another, so a request usually costs no extra statement.
    if (m_mariaDb)
        setMariaDbLockWait(left);
    else
        setSQLiteBusyWait(left);
}

void Ledger::createTables()
{
    connection();
    const QString what = QStringLiteral("cannot create the ledger's tables");
    if (m_mariaDb) {
        const QString table
            = QStringLiteral(" ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin");
        plain(what,
              QStringLiteral("CREATE TABLE IF NOT EXISTS cards ("
                             " number VARCHAR(255) NOT NULL PRIMARY KEY,"
                             " balance BIGINT NOT NULL,"
                             " balance_inactive BIGINT NOT NULL,"
                             " status INT NOT NULL DEFAULT 0,"
                             " version BIGINT NOT NULL DEFAULT 0)")
                  + table);
        plain(what,
              QStringLiteral("CREATE TABLE IF NOT EXISTS transactions ("
                             " id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,"
                             " session_id VARCHAR(64) UNIQUE,"
                             " kind VARCHAR(16) NOT NULL,"
                             " terminal_id VARCHAR(255) NOT NULL,"
                             " client_session_id VARCHAR(255) NOT NULL,"
                             " card_number VARCHAR(255) NOT NULL,"
                             " amount BIGINT NOT NULL,"
                             " date_from_cash BIGINT NOT NULL,"
                             " state VARCHAR(16) NOT NULL,"
                             " created_at VARCHAR(40) NOT NULL,"
                             " finished_at VARCHAR(40),"
                             " created_ms BIGINT NOT NULL DEFAULT 0,"
                             " group_id VARCHAR(255) NOT NULL DEFAULT '',"
                             " KEY by_card (card_number, state),"
                             " KEY by_client_id (terminal_id, client_session_id),"
                             " KEY by_age (state, created_ms))")
                  + table);
        plain(what,
              QStringLiteral("CREATE TABLE IF NOT EXISTS history ("
                             " id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,"
                             " card_number VARCHAR(255) NOT NULL,"
                             " at VARCHAR(40) NOT NULL,"
                             " event VARCHAR(40) NOT NULL,"
                             " delta BIGINT NOT NULL,"
                             " balance BIGINT NOT NULL,"
                             " amount BIGINT NOT NULL,"
                             " terminal_id VARCHAR(255),"
                             " session_id VARCHAR(64),"
                             " client_session_id VARCHAR(255),"
                             " inactive_delta BIGINT NOT NULL DEFAULT 0,"
                             " seq BIGINT NOT NULL DEFAULT 0,"
                             " KEY in_order (card_number, seq),"
                             " KEY by_session (session_id))")
                  + table);
        plain(what,
              QStringLiteral("CREATE TABLE IF NOT EXISTS reversals ("
                             " terminal_id VARCHAR(255) NOT NULL,"
                             " client_session_id VARCHAR(255) NOT NULL,"
                             " card_number VARCHAR(255) NOT NULL,"
                             " created_at VARCHAR(40) NOT NULL,"
                             " created_ms BIGINT NOT NULL,"
                             " PRIMARY KEY (terminal_id, client_session_id),"
                             " KEY by_age (created_ms))")
                  + table);
        addColumns();
        addOrdering();
        TerminalRegistry::createTables(true);
        BonusLots::createTables(true);
        AssetBook::createTables(true);
        BalanceSnapshots::createTables(true);
        return;
    }

    // Readers never wait for the writer, and a commit is one append and one sync.
    plain(what, QStringLiteral("PRAGMA journal_mode = WAL"));
    plain(what,
          QStringLiteral("CREATE TABLE IF NOT EXISTS cards ("
                         " number TEXT PRIMARY KEY,"
                         " balance INTEGER NOT NULL,"
                         " balance_inactive INTEGER NOT NULL,"
                         " status INTEGER NOT NULL DEFAULT 0,"
                         " version INTEGER NOT NULL DEFAULT 0)"));
    // session_id is the server's; client_session_id is what the till sent.
    plain(what,
          QStringLiteral("CREATE TABLE IF NOT EXISTS transactions ("
                         " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                         " session_id TEXT UNIQUE,"
                         " kind TEXT NOT NULL,"
                         " terminal_id TEXT NOT NULL,"
                         " client_session_id TEXT NOT NULL,"
                         " card_number TEXT NOT NULL,"
                         " amount INTEGER NOT NULL,"
                         " date_from_cash INTEGER NOT NULL,"
                         " state TEXT NOT NULL,"
                         " created_at TEXT NOT NULL,"
                         " finished_at TEXT,"
                         " created_ms INTEGER NOT NULL DEFAULT 0,"
                         " group_id TEXT NOT NULL DEFAULT '')"));
    // Rollbacks by a till's own id that came before the transaction they
    // name (see Ledger::rollback).
    plain(what,
          QStringLiteral("CREATE TABLE IF NOT EXISTS reversals ("
                         " terminal_id TEXT NOT NULL,"
                         " client_session_id TEXT NOT NULL,"
                         " card_number TEXT NOT NULL,"
                         " created_at TEXT NOT NULL,"
                         " created_ms INTEGER NOT NULL,"
                         " PRIMARY KEY (terminal_id, client_session_id))"));
    plain(what,
          QStringLiteral("CREATE TABLE IF NOT EXISTS history ("
                         " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                         " card_number TEXT NOT NULL,"
                         " at TEXT NOT NULL,"
                         " event TEXT NOT NULL,"
                         " delta INTEGER NOT NULL,"
                         " balance INTEGER NOT NULL,"
                         " amount INTEGER NOT NULL,"
                         " terminal_id TEXT,"
                         " session_id TEXT,"
                         " client_session_id TEXT,"
                         " inactive_delta INTEGER NOT NULL DEFAULT 0,"
                         " seq INTEGER NOT NULL DEFAULT 0)"));
    upgradeSQLiteLedger();
    addColumns();
    addOrdering();
    plain(what,
          QStringLiteral("CREATE INDEX IF NOT EXISTS transactions_by_card"
                         " ON transactions (card_number, state)"));
    plain(what,
          QStringLiteral("CREATE INDEX IF NOT EXISTS transactions_by_client_id"
                         " ON transactions (terminal_id, client_session_id)"));
    plain(what,
          QStringLiteral("CREATE INDEX IF NOT EXISTS transactions_by_age"
                         " ON transactions (state, created_ms)"));
    plain(what,
          QStringLiteral("CREATE INDEX IF NOT EXISTS history_in_order"
                         " ON history (card_number, seq, id)"));
    plain(what,
          QStringLiteral("CREATE INDEX IF NOT EXISTS reversals_by_age ON reversals (created_ms)"));
    plain(what,
          QStringLiteral("CREATE INDEX IF NOT EXISTS history_by_session ON history (session_id)"));
    TerminalRegistry::createTables(false);
    BonusLots::createTables(false);
    AssetBook::createTables(false);
    BalanceSnapshots::createTables(false);
}

void Ledger::addColumns()
{
    struct Column
    {
        const char *table;
        const char *name;
        const char *sqlite;
        const char *mariaDb;
    };
    static const Column added[] = {
        {"cards", "status", "INTEGER NOT NULL DEFAULT 0", "INT NOT NULL DEFAULT 0"},
        {"transactions", "group_id", "TEXT NOT NULL DEFAULT ''",
         "VARCHAR(255) NOT NULL DEFAULT ''"},
        {"history", "inactive_delta", "INTEGER NOT NULL DEFAULT 0", "BIGINT NOT NULL DEFAULT 0"},
    };
    const QString what = QStringLiteral("cannot upgrade the ledger");
    for (const Column &column : added) {
        const QString table = QString::fromLatin1(column.table);
        const QString name = QString::fromLatin1(column.name);
        // Looked up first: a schema change on a Galera cluster stops every
        // node for a moment, even one that changes nothing.
        bool present = false;
        if (m_mariaDb) {
            present = !rows(what,
                            QStringLiteral("SELECT 1 FROM information_schema.COLUMNS"
                                           " WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = ?"
                                           " AND COLUMN_NAME = ?"),
                            {table, name}, 1)
                           .isEmpty();
        } else {
            QSqlQuery columns(threadConnection.db);
            if (!columns.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table)))
                fail(what, columns.lastError());
            while (columns.next())
                present = present || columns.value(1).toString() == name;
        }
        if (present)
            continue;
        plain(
            what,
            QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3")
                .arg(table, name, QString::fromLatin1(m_mariaDb ? column.mariaDb : column.sqlite)));
        // A transaction's changes are read by its session id.
        if (m_mariaDb && table == QLatin1String("history"))
            plain(what,
                  QStringLiteral("CREATE INDEX IF NOT EXISTS by_session ON history (session_id)"));
    }
}

void Ledger::upgradeSQLiteLedger()
{
    // A ledger of the first version has no created_ms and no history.
    QSqlQuery columns(threadConnection.db);
    if (!columns.exec(QStringLiteral("PRAGMA table_info(transactions)")))
        fail(QStringLiteral("cannot read the ledger's layout"), columns.lastError());
    while (columns.next()) {
        if (columns.value(1).toString() == QLatin1String("created_ms"))
            return;
    }
    columns.finish();

    const QString what = QStringLiteral("cannot upgrade the ledger");
    Work work(*this);
    plain(what,
          QStringLiteral("ALTER TABLE transactions"
                         " ADD COLUMN created_ms INTEGER NOT NULL DEFAULT 0"));
    // The first version wrote local time; a pending transaction keeps its age.
    const QVector<QVariantList> pending
        = rows(what, QStringLiteral("SELECT id, created_at FROM transactions WHERE state = ?"),
               {statePending}, 2);
    for (const QVariantList &row : pending) {
        const QDateTime created = QDateTime::fromString(row.at(1).toString(), Qt::ISODateWithMs);
        change(what, QStringLiteral("UPDATE transactions SET created_ms = ? WHERE id = ?"),
               {created.isValid() ? created.toMSecsSinceEpoch() : 0, row.at(0)});
    }
    change(what,
           QStringLiteral("INSERT INTO history (card_number, at, event, delta, balance, amount)"
                          " SELECT number, ?, 'balance carried over', balance, balance, 0"
                          " FROM cards"),
           {nowText()});
    work.commit();
}

bool Ledger::hasColumn(const QString &table, const QString &column)
{
    QSqlQuery columns(threadConnection.db);
    if (!columns.exec(m_mariaDb
                          ? QStringLiteral("SELECT COLUMN_NAME FROM information_schema.COLUMNS"
                                           " WHERE TABLE_SCHEMA = DATABASE()"
                                           " AND TABLE_NAME = '%1'")
                                .arg(table)
                          : QStringLiteral("PRAGMA table_info(%1)").arg(table)))
        fail(QStringLiteral("cannot read the ledger's layout"), columns.lastError());
    while (columns.next()) {
        if (columns.value(m_mariaDb ? 0 : 1).toString() == column)
            return true;
    }
    return false;
}

void Ledger::addOrdering()
{
    // Looked for first: on Galera a schema change, even one with nothing to
    // do, holds up every node's writes. The lines written before keep their
    // order among themselves, ahead of the new ones.
    const QString what = QStringLiteral("cannot add the history's order to the ledger");
    const bool version = hasColumn(QStringLiteral("cards"), QStringLiteral("version"));
    const bool seq = hasColumn(QStringLiteral("history"), QStringLiteral("seq"));
    if (version && seq)
        return;
    if (m_mariaDb) {
        // IF NOT EXISTS: another server may be at it too.
        plain(what,
              QStringLiteral("ALTER TABLE cards ADD COLUMN IF NOT EXISTS"
                             " version BIGINT NOT NULL DEFAULT 0"));
        plain(what,
              QStringLiteral("ALTER TABLE history ADD COLUMN IF NOT EXISTS"
                             " seq BIGINT NOT NULL DEFAULT 0,"
                             " ADD KEY IF NOT EXISTS in_order (card_number, seq)"));
        return;
    }
    Work work(*this);
    if (!version)
        plain(what,
              QStringLiteral("ALTER TABLE cards ADD COLUMN version INTEGER NOT NULL DEFAULT 0"));
    if (!seq)
        plain(what,
              QStringLiteral("ALTER TABLE history ADD COLUMN seq INTEGER NOT NULL DEFAULT 0"));
    work.commit();
}

bool Ledger::lockCard(const QString &cardNumber, LedgerReply &reply, CardState *state)
{
    const QVector<QVariantList> found
        = rows(QStringLiteral("cannot read card %1").arg(CardMask::shown(cardNumber)),
               m_mariaDb ? QStringLiteral("SELECT balance, balance_inactive, status FROM cards"
                                          " WHERE number = ? FOR UPDATE")
                         : QStringLiteral("SELECT balance, balance_inactive, status FROM cards"
                                          " WHERE number = ?"),
               {cardNumber}, 3);
    if (found.isEmpty())
        return false;
    reply.balance = found.first().at(0).toLongLong();
    reply.balanceInactive = found.first().at(1).toLongLong();
    if (state)
        *state = CardState(found.first().at(2).toInt());
    return true;
}

bool Ledger::findTransaction(const QString &terminalId, By by, const QVariant &key,
                             Transaction &found)
{
    QString where;
    QVariantList values {terminalId, key};
    switch (by) {
    case By::SessionId:
        where = QStringLiteral("session_id = ?");
        break;
    case By::ClientId:
        // The till's id repeats on another day: its latest use is meant, and
        // never one from an earlier day.
        where = QStringLiteral("client_session_id = ? AND created_ms > ?");
        values << QDateTime::currentMSecsSinceEpoch() - SimOptions::clientIdWindowMs;
        break;
    case By::RowId:
        where = QStringLiteral("id = ?");
        break;
    }
    const QVector<QVariantList> result
        = rows(QStringLiteral("cannot read transaction ") + key.toString(),
               QStringLiteral("SELECT id, session_id, kind, terminal_id, client_session_id,"
                              " card_number, amount, state, created_ms, group_id FROM transactions"
                              " WHERE terminal_id = ? AND ")
                   + where + QStringLiteral(" ORDER BY id DESC LIMIT 1"),
               values, 10);
    if (result.isEmpty())
        return false;
    const QVariantList &row = result.first();
    found.id = row.at(0).toLongLong();
    found.sessionId = row.at(1).toString();
    found.kind = row.at(2).toString();
    found.terminal = row.at(3).toString();
    found.clientSession = row.at(4).toString();
    found.card = row.at(5).toString();
    found.amount = row.at(6).toLongLong();
    found.state = row.at(7).toString();
    found.createdMs = row.at(8).toLongLong();
    found.group = row.at(9).toString();
    return true;
}

void Ledger::finish(const Transaction &transaction, const QString &state, const QString &event,
                    qint64 delta, LedgerReply &reply, qint64 inactiveDelta)
{
    // Only from the state read under the lock: a second writer changes nothing.
    const int changed
        = change(QStringLiteral("cannot close transaction %1").arg(transaction.sessionId),
                 QStringLiteral("UPDATE transactions SET state = ?, finished_at = ?"
                                " WHERE id = ? AND state = ?"),
                 {state, nowText(), transaction.id, transaction.state});
    if (changed != 1)
        throw LedgerError(QStringLiteral("transaction %1 changed under its card's lock")
                              .arg(transaction.sessionId)
                              .toStdString());
    adjust(transaction.card, event, delta, inactiveDelta, transaction.amount, transaction.terminal,
           transaction.sessionId, transaction.clientSession, reply);
}

void Ledger::adjust(const QString &card, const QString &event, qint64 delta, qint64 inactiveDelta,
                    qint64 amount, const QString &terminal, const QString &session,
                    const QString &clientSession, LedgerReply &reply)
{
    // Callers refuse what would leave 64 bits; the balances written are the
    // ones checked, read under the card's lock.
    qint64 after = 0;
    qint64 inactiveAfter = 0;
    if (!shifted(reply.balance, delta, after)
        || !shifted(reply.balanceInactive, inactiveDelta, inactiveAfter))
        throw LedgerError(QStringLiteral("the balances of card %1 would leave 64 bits")
                              .arg(CardMask::shown(card))
                              .toStdString());
    if (delta != 0 || inactiveDelta != 0) {
        change(
            QStringLiteral("cannot update card %1").arg(CardMask::shown(card)),
            QStringLiteral("UPDATE cards SET balance = ?, balance_inactive = ? WHERE number = ?"),
            {after, inactiveAfter, card});
    }
    reply.balance = after;
    reply.balanceInactive = inactiveAfter;
    record(card, event, delta, after, amount, terminal, session, clientSession, inactiveDelta);
}

qint64 Ledger::held(const QString &card)
{
    return qint64(cardTotals(card, false).held);
}

void Ledger::claimCard(const QString &card)
{
    change(QStringLiteral("cannot update card %1").arg(CardMask::shown(card)),
           QStringLiteral("UPDATE cards SET version = version + 1 WHERE number = ?"), {card});
}

void Ledger::record(const QString &card, const QString &event, qint64 delta, qint64 balance,
                    qint64 amount, const QString &terminal, const QString &session,
                    const QString &clientSession, qint64 inactiveDelta)
{
    claimCard(card);
    change(QStringLiteral("cannot write the history of %1").arg(CardMask::shown(card)),
           QStringLiteral("INSERT INTO history (card_number, seq, at, event, delta, balance,"
                          " amount, terminal_id, session_id, client_session_id, inactive_delta)"
                          " SELECT number, version, ?, ?, ?, ?, ?, ?, ?, ?, ? FROM cards"
                          " WHERE number = ?"),
           {nowText(), event, delta, balance, amount, terminal, session, clientSession,
            inactiveDelta, card});
}

bool Ledger::reversedBeforehand(const QString &terminalId, const QString &clientSessionId)
{
    return !rows(QStringLiteral("cannot read the reversals of terminal %1").arg(terminalId),
                 QStringLiteral("SELECT 1 FROM reversals WHERE terminal_id = ?"
                                " AND client_session_id = ? AND created_ms > ?"),
                 {terminalId, clientSessionId,
                  QDateTime::currentMSecsSinceEpoch() - SimOptions::reversalMemoryMs},
                 1)
                .isEmpty();
}

bool Ledger::overdue(const Transaction &transaction) const
{
    return transaction.createdMs + m_pendingTtlMs <= QDateTime::currentMSecsSinceEpoch();
}

QString Ledger::describe(const QString &event, const Transaction &transaction, qint64 balance)
{
    // Concatenated, not arg()-chained: a till's ids may hold "%1".
    return event + QStringLiteral(" kind=") + noun(transaction.kind) + QStringLiteral(" terminal=")
        + transaction.terminal + QStringLiteral(" card=") + CardMask::shown(transaction.card)
        + QStringLiteral(" amount=") + QString::number(transaction.amount)
        + QStringLiteral(" session=") + transaction.sessionId + QStringLiteral(" clientSession=")
        + transaction.clientSession + QStringLiteral(" balance=") + QString::number(balance);
}
