#include "Ledger.h"

#include "Clock.h"
#include "LedgerError.h"

#include <QAtomicInteger>
#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const auto statePending = QStringLiteral("pending");
const auto stateCommitted = QStringLiteral("committed");
const auto stateRolledBack = QStringLiteral("rolledBack");
const auto kindPay = QStringLiteral("pay");
const auto kindPayBack = QStringLiteral("payBack");

[[noreturn]] void fail(const QString &what, const QSqlError &error)
{
    QString text = what;
    const QString driver = error.driverText();
    const QString database = error.databaseText();
    if (!driver.isEmpty())
        text += QStringLiteral(": ") + driver;
    if (!database.isEmpty() && database != driver)
        text += QStringLiteral(": ") + database;
    throw LedgerError(text.toStdString());
}

QSqlQuery run(QSqlDatabase &db, const QString &what, const QString &sql,
              const QVariantList &values = {})
{
    QSqlQuery query(db);
    if (!query.prepare(sql))
        fail(what, query.lastError());
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        fail(what, query.lastError());
    return query;
}

QString now()
{
    return Clock::currentDateTime().toString(Qt::ISODateWithMs);
}

// The connection this thread uses; removed from Qt's registry when the thread
// ends (Thrift starts one thread per client connection).
struct ThreadConnection
{
    QString name;

    ~ThreadConnection() { release(); }

    void release()
    {
        if (name.isEmpty())
            return;
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        name.clear();
    }
};

thread_local ThreadConnection threadConnection;
QAtomicInteger<quint64> connectionCounter;

// BEGIN IMMEDIATE takes the write lock at once, so another process on the
// same file cannot slip in between our check and our update.
class WriteTransaction
{
public:
    explicit WriteTransaction(QSqlDatabase &db)
        : m_db(db)
    {
        run(m_db, QStringLiteral("cannot begin a transaction"), QStringLiteral("BEGIN IMMEDIATE"));
    }

    ~WriteTransaction()
    {
        if (!m_done) {
            QSqlQuery query(m_db);
            query.exec(QStringLiteral("ROLLBACK"));
        }
    }

    void commit()
    {
        run(m_db, QStringLiteral("cannot commit a transaction"), QStringLiteral("COMMIT"));
        m_done = true;
    }

private:
    QSqlDatabase &m_db;
    bool m_done = false;
};

} // namespace

Ledger::Ledger(const QString &path)
    : m_path(path)
{
    createTables();
}

bool Ledger::addCardIfMissing(const QString &number, qint64 balance, qint64 balanceInactive)
{
    QMutexLocker locker(&m_lock);
    QSqlDatabase db = connection();
    const QSqlQuery query
        = run(db, QStringLiteral("cannot add card %1").arg(number),
              QStringLiteral("INSERT OR IGNORE INTO cards (number, balance, balance_inactive)"
                             " VALUES (?, ?, ?)"),
              {number, balance, balanceInactive});
    return query.numRowsAffected() > 0;
}

LedgerReply Ledger::balance(const QString &cardNumber)
{
    QMutexLocker locker(&m_lock);
    QSqlDatabase db = connection();
    LedgerReply reply;
    if (!readCard(db, cardNumber, reply)) {
        reply.description = QStringLiteral("Карта не найдена");
        return reply;
    }
    reply.accepted = true;
    reply.description = QStringLiteral("Баланс получен");
    return reply;
}

LedgerReply Ledger::open(Kind kind, const QString &terminalId, const QString &clientSessionId,
                         const QString &cardNumber, qint64 amount, qint64 dateFromCash)
{
    LedgerReply reply;
    if (amount <= 0) {
        reply.description = QStringLiteral("Сумма операции должна быть больше нуля");
        return reply;
    }

    QMutexLocker locker(&m_lock);
    QSqlDatabase db = connection();
    WriteTransaction transaction(db);
    if (!readCard(db, cardNumber, reply)) {
        reply.description = QStringLiteral("Карта не найдена");
        return reply;
    }
    // Money promised to pending payments is not there to promise again.
    if (kind == Kind::Pay && amount > reply.balance - pendingPayments(db, cardNumber)) {
        reply.description = QStringLiteral("Недостаточно средств на карте");
        return reply;
    }

    const QSqlQuery insert
        = run(db, QStringLiteral("cannot record a transaction"),
              QStringLiteral("INSERT INTO transactions (kind, terminal_id, client_session_id,"
                             " card_number, amount, date_from_cash, state, created_at)"
                             " VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
              {kind == Kind::Pay ? kindPay : kindPayBack, terminalId, clientSessionId, cardNumber,
               amount, dateFromCash, statePending, now()});
    const qint64 id = insert.lastInsertId().toLongLong();
    const QString sessionId = sessionIdFor(id);
    run(db, QStringLiteral("cannot record a transaction"),
        QStringLiteral("UPDATE transactions SET session_id = ? WHERE id = ?"), {sessionId, id});
    transaction.commit();

    reply.accepted = true;
    reply.sessionId = sessionId;
    reply.description = kind == Kind::Pay ? QStringLiteral("Оплата ожидает подтверждения")
                                          : QStringLiteral("Возврат ожидает подтверждения");
    return reply;
}

bool Ledger::findPending(QSqlDatabase &db, const QString &sessionId, const QString &cardNumber,
                         LedgerReply &reply, Pending &pending)
{
    QSqlQuery find = run(db, QStringLiteral("cannot read transaction %1").arg(sessionId),
                         QStringLiteral("SELECT kind, card_number, amount, state"
                                        " FROM transactions WHERE session_id = ?"),
                         {sessionId});
    if (!find.next()) {
        reply.description = QStringLiteral("Транзакция не найдена");
        return false;
    }
    pending.kind = find.value(0).toString();
    pending.card = find.value(1).toString();
    pending.amount = find.value(2).toLongLong();
    const QString state = find.value(3).toString();
    find.finish();

    readCard(db, pending.card, reply);
    if (state != statePending) {
        reply.description = QStringLiteral("Транзакция уже завершена");
        return false;
    }
    if (pending.card != cardNumber) {
        reply.description = QStringLiteral("Карта не соответствует транзакции");
        return false;
    }
    return true;
}

LedgerReply Ledger::commit(const QString &sessionId, const QString &cardNumber)
{
    QMutexLocker locker(&m_lock);
    QSqlDatabase db = connection();
    WriteTransaction transaction(db);
    LedgerReply reply;
    reply.sessionId = sessionId;

    Pending pending;
    if (!findPending(db, sessionId, cardNumber, reply, pending))
        return reply;
    const qint64 delta = pending.kind == kindPay ? -pending.amount : pending.amount;
    if (reply.balance + delta < 0) {
        reply.description = QStringLiteral("Недостаточно средств на карте");
        return reply;
    }

    run(db, QStringLiteral("cannot update card %1").arg(pending.card),
        QStringLiteral("UPDATE cards SET balance = balance + ? WHERE number = ?"),
        {delta, pending.card});
    run(db, QStringLiteral("cannot close transaction %1").arg(sessionId),
        QStringLiteral("UPDATE transactions SET state = ?, finished_at = ? WHERE session_id = ?"),
        {stateCommitted, now(), sessionId});
    transaction.commit();

    reply.accepted = true;
    reply.balance += delta;
    reply.description = QStringLiteral("Транзакция подтверждена");
    return reply;
}

LedgerReply Ledger::rollback(const QString &sessionId, const QString &cardNumber)
{
    QMutexLocker locker(&m_lock);
    QSqlDatabase db = connection();
    WriteTransaction transaction(db);
    LedgerReply reply;
    reply.sessionId = sessionId;

    Pending pending;
    if (!findPending(db, sessionId, cardNumber, reply, pending))
        return reply;

    run(db, QStringLiteral("cannot close transaction %1").arg(sessionId),
        QStringLiteral("UPDATE transactions SET state = ?, finished_at = ? WHERE session_id = ?"),
        {stateRolledBack, now(), sessionId});
    transaction.commit();

    reply.accepted = true;
    reply.description = QStringLiteral("Транзакция отменена");
    return reply;
}

QString Ledger::sessionIdFor(qint64 transactionId)
{
    return QStringLiteral("AS%1").arg(transactionId, 8, 10, QLatin1Char('0'));
}

void Ledger::closeThreadConnection()
{
    threadConnection.release();
}

QSqlDatabase Ledger::connection()
{
    if (!threadConnection.name.isEmpty())
        return QSqlDatabase::database(threadConnection.name, false);

    const QString name = QStringLiteral("ledger-%1").arg(connectionCounter.fetchAndAddRelaxed(1));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(m_path);
    // Someone reading the file with the sqlite3 shell must not make us fail.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    threadConnection.name = name;
    if (!db.open()) {
        const QSqlError error = db.lastError();
        db = QSqlDatabase();
        threadConnection.release();
        fail(QStringLiteral("cannot open ledger %1").arg(m_path), error);
    }
    return db;
}

void Ledger::createTables()
{
    QMutexLocker locker(&m_lock);
    QSqlDatabase db = connection();
    run(db, QStringLiteral("cannot create the card table"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS cards ("
                       " number TEXT PRIMARY KEY,"
                       " balance INTEGER NOT NULL,"
                       " balance_inactive INTEGER NOT NULL)"));
    // session_id is the server's; client_session_id is what the till sent,
    // kept only so that a log reader can match the two.
    run(db, QStringLiteral("cannot create the transaction table"),
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
                       " finished_at TEXT)"));
}

bool Ledger::readCard(QSqlDatabase &db, const QString &cardNumber, LedgerReply &reply)
{
    QSqlQuery query
        = run(db, QStringLiteral("cannot read card %1").arg(cardNumber),
              QStringLiteral("SELECT balance, balance_inactive FROM cards WHERE number = ?"),
              {cardNumber});
    if (!query.next())
        return false;
    reply.balance = query.value(0).toLongLong();
    reply.balanceInactive = query.value(1).toLongLong();
    return true;
}

qint64 Ledger::pendingPayments(QSqlDatabase &db, const QString &cardNumber)
{
    QSqlQuery query = run(db, QStringLiteral("cannot read pending payments of %1").arg(cardNumber),
                          QStringLiteral("SELECT COALESCE(SUM(amount), 0) FROM transactions"
                                         " WHERE card_number = ? AND kind = ? AND state = ?"),
                          {cardNumber, kindPay, statePending});
    return query.next() ? query.value(0).toLongLong() : 0;
}
