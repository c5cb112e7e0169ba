#include "OperationJournal.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QFile>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sys/stat.h>

namespace {

const auto stateSent = QStringLiteral("sent");
const auto stateAccepted = QStringLiteral("accepted");
const auto stateReversing = QStringLiteral("reversing");
const auto stateSettled = QStringLiteral("settled");

QAtomicInteger<int> connectionCounter;

// Named rather than "not settled", so that the index on the state serves:
// the settled records are nearly all of them.
QString unsettledStates()
{
    return QStringLiteral("'%1', '%2', '%3'").arg(stateSent, stateAccepted, stateReversing);
}

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString errorText(const QString &purpose, const QSqlError &error)
{
    return QStringLiteral("%1: %2").arg(purpose, error.text());
}

const char selectRecord[] = "SELECT id, transaction_id, session_id, terminal_id, card_number,"
                            " operation, amount, created_at, state, outcome, attempts, last_error"
                            " FROM operations";

OperationJournal::Record recordAt(const QSqlQuery &query)
{
    OperationJournal::Record record;
    record.id = query.value(0).toLongLong();
    record.transactionId = query.value(1).toString();
    record.sessionId = query.value(2).toString();
    record.terminalId = query.value(3).toString();
    record.cardNumber = query.value(4).toString();
    record.operation = query.value(5).toInt();
    record.amount = query.value(6).toLongLong();
    record.createdAt = QDateTime::fromString(query.value(7).toString(), Qt::ISODateWithMs);
    record.state = query.value(8).toString();
    record.outcome = query.value(9).toString();
    record.attempts = query.value(10).toInt();
    record.lastError = query.value(11).toString();
    return record;
}

// How long a journal that showed nothing unsettled is believed unchanged
// on the word of its files alone.
const qint64 recheckMs = 5000;

// The journal's mark: every write changes at least one of its values; an
// absent file counts as all -1.
OperationJournal::FileMark fileMarkOf(const QString &path)
{
    OperationJournal::FileMark mark;
    mark.fill(-1);
    const QByteArray base = QFile::encodeName(path);
    const QByteArray names[] = {base, base + "-wal"};
    for (int i = 0; i < 2; ++i) {
        struct stat info
        {
        };
        if (::stat(names[i].constData(), &info) != 0)
            continue;
        qint64 *at = mark.data() + i * 5;
        at[0] = qint64(info.st_ino);
        at[1] = qint64(info.st_size);
        at[2] = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        at[3] = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
        at[4] = qint64(info.st_dev);
    }
    return mark;
}

} // namespace

OperationJournal::OperationJournal(const QString &path)
    : m_path(path)
    , m_connection(QStringLiteral("ProcessingBonusCreditJournal-%1")
                       .arg(connectionCounter.fetchAndAddRelaxed(1)))
{
}

OperationJournal::~OperationJournal()
{
    // Qt deletes plug-ins after QtSql's registry is gone at exit; only
    // unregister while the application still stands.
    m_prepared.clear();
    if (QCoreApplication::instance() && QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

void OperationJournal::open()
{
    if (QSqlDatabase::contains(m_connection)
        && QSqlDatabase::database(m_connection, false).isOpen())
        return;
    m_prepared.clear();
    QSqlDatabase db = QSqlDatabase::contains(m_connection)
        ? QSqlDatabase::database(m_connection, false)
        : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(m_path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open())
        throw Error(
            errorText(QStringLiteral("cannot open the journal %1").arg(m_path), db.lastError()));
    try {
        // Each write reaches the disk before the call returns: a record must
        // outlive a killed process or a power cut.
        exec(QStringLiteral("cannot set the journal mode"),
             QStringLiteral("PRAGMA journal_mode=WAL"));
        exec(QStringLiteral("cannot set synchronous writes"),
             QStringLiteral("PRAGMA synchronous=FULL"));
        // The journal only grows at its end and is read a few rows at a
        // time: a small page cache keeps the till's memory flat.
        exec(QStringLiteral("cannot set the cache size"), QStringLiteral("PRAGMA cache_size=-64"));
        exec(QStringLiteral("cannot create the journal"),
             QStringLiteral("CREATE TABLE IF NOT EXISTS operations ("
                            " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                            " transaction_id TEXT NOT NULL,"
                            " session_id TEXT NOT NULL DEFAULT '',"
                            " terminal_id TEXT NOT NULL,"
                            " card_number TEXT NOT NULL,"
                            " operation INTEGER NOT NULL,"
                            " amount INTEGER NOT NULL,"
                            " created_at TEXT NOT NULL,"
                            " state TEXT NOT NULL,"
                            " outcome TEXT NOT NULL DEFAULT '',"
                            " attempts INTEGER NOT NULL DEFAULT 0,"
                            " last_error TEXT NOT NULL DEFAULT '',"
                            " settled_at TEXT)"));
        exec(QStringLiteral("cannot create the journal"),
             QStringLiteral("CREATE INDEX IF NOT EXISTS operations_state ON operations (state)"));
    } catch (const Error &) {
        db.close();
        throw;
    }
}

qint64 OperationJournal::begin(const QString &transactionId, const QString &terminalId,
                               const QString &cardNumber, int operation, qint64 amount)
{
    // A record opened on a journal known to hold nothing unsettled: once
    // this process has settled all it opened since, it holds nothing
    // unsettled again, and need not be looked at for the next operation.
    if (m_opened.isEmpty())
        m_ownWritesOnly = stillSettled(fileMarkOf(m_path));
    // Kept active until its id is read: the driver answers it only then.
    QSqlQuery &insert = exec(
        QStringLiteral("cannot record transaction %1").arg(transactionId),
        QStringLiteral("INSERT INTO operations (transaction_id, terminal_id, card_number,"
                       " operation, amount, created_at, state) VALUES (?, ?, ?, ?, ?, ?, ?)"),
        {transactionId, terminalId, cardNumber, operation, amount, now(), stateSent}, true);
    const qint64 id = insert.lastInsertId().toLongLong();
    insert.finish();
    if (id <= 0)
        throw Error(QStringLiteral("cannot record transaction %1: no id").arg(transactionId));
    m_opened.insert(id);
    return id;
}

void OperationJournal::accepted(qint64 id, const QString &sessionId)
{
    // Not worth a wait for the disk: a record that loses its session id in a
    // power cut is still rolled back, by the transaction id the till sent.
    exec(QStringLiteral("cannot relax synchronous writes"),
         QStringLiteral("PRAGMA synchronous=OFF"));
    const auto durableAgain = qScopeGuard([this] {
        try {
            exec(QStringLiteral("cannot set synchronous writes"),
                 QStringLiteral("PRAGMA synchronous=FULL"));
        } catch (const Error &) {
            // The connection is then broken, and the next write says so.
        }
    });
    exec(QStringLiteral("cannot record the session of %1").arg(id),
         QStringLiteral("UPDATE operations SET state = ?, session_id = ? WHERE id = ?"),
         {stateAccepted, sessionId, id});
}

void OperationJournal::settle(qint64 id, const QString &outcome, const QString &reason)
{
    try {
        write(id, outcome, reason);
        m_unwritten.remove(id);
        // Settling a record of an earlier run says nothing of the others.
        if (!m_opened.remove(id))
            m_ownWritesOnly = false;
        // Every writer holds the till's lock for its whole run, so the
        // files changed only by this run's own writes.
        if (m_opened.isEmpty() && m_ownWritesOnly && m_unwritten.isEmpty())
            m_settledMark = fileMarkOf(m_path);
    } catch (const Error &) {
        // Kept until it can be written: a committed sale must never look
        // unsettled to the next pass, which would roll it back.
        m_unwritten.insert(id, {outcome, reason});
        throw;
    }
}

void OperationJournal::write(qint64 id, const QString &outcome, const QString &reason)
{
    if (reason.isEmpty()) {
        exec(QStringLiteral("cannot settle %1").arg(id),
             QStringLiteral("UPDATE operations SET state = ?, outcome = ?, settled_at = ?"
                            " WHERE id = ?"),
             {stateSettled, outcome, now(), id});
    } else {
        exec(QStringLiteral("cannot settle %1").arg(id),
             QStringLiteral("UPDATE operations SET state = ?, outcome = ?, settled_at = ?,"
                            " last_error = ? WHERE id = ?"),
             {stateSettled, outcome, now(), reason, id});
    }
}

void OperationJournal::writeUnwritten()
{
    for (auto it = m_unwritten.begin(); it != m_unwritten.end();) {
        try {
            write(it.key(), it.value().first, it.value().second);
            it = m_unwritten.erase(it);
        } catch (const Error &) {
            ++it;
        }
    }
}

void OperationJournal::reversalFailed(qint64 id, const QString &error)
{
    exec(QStringLiteral("cannot record a failed reversal of %1").arg(id),
         QStringLiteral("UPDATE operations SET state = ?, attempts = attempts + 1, last_error = ?"
                        " WHERE id = ?"),
         {stateReversing, error, id});
}

bool OperationJournal::stillSettled(const FileMark &mark) const
{
    return m_settledSeen.isValid() && m_settledSeen.elapsed() < recheckMs && m_unwritten.isEmpty()
        && m_settledMark == mark;
}

bool OperationJournal::hasUnsettled()
{
    // Asked before every operation, and nearly always answered no. When the
    // last look found nothing and no process has written since, the files
    // are as that look left them, and the answer stands. It is asked anew
    // every few seconds all the same: a file time is only as fine as the
    // kernel's tick.
    const FileMark mark = fileMarkOf(m_path);
    if (stillSettled(mark))
        return false;
    m_settledSeen.invalidate();
    m_ownWritesOnly = false;

    open();
    writeUnwritten();
    static const QString statement
        = QStringLiteral("SELECT 1 FROM operations WHERE state IN (%1) LIMIT 1")
              .arg(unsettledStates());
    QSqlQuery &query = exec(QStringLiteral("cannot read the journal"), statement, {}, true);
    const bool found = query.next();
    query.finish();
    // The mark from before the look: a write that came in meanwhile shows
    // as a change next time.
    if (!found && m_unwritten.isEmpty()) {
        m_settledMark = mark;
        m_settledSeen.start();
    }
    return found;
}

QList<OperationJournal::Record> OperationJournal::unsettled()
{
    open();
    writeUnwritten();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(
            QLatin1String(selectRecord)
            + QStringLiteral(" WHERE state IN (%1) ORDER BY attempts, id").arg(unsettledStates())))
        throw Error(errorText(QStringLiteral("cannot read the journal"), query.lastError()));
    QList<Record> records;
    while (query.next()) {
        const Record record = recordAt(query);
        if (!m_unwritten.contains(record.id))
            records << record;
    }
    return records;
}

OperationJournal::Record OperationJournal::record(qint64 id)
{
    open();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QLatin1String(selectRecord) + QStringLiteral(" WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec())
        throw Error(errorText(QStringLiteral("cannot read the journal"), query.lastError()));
    return query.next() ? recordAt(query) : Record();
}

int OperationJournal::prune(int days)
{
    open();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("DELETE FROM operations WHERE state = ? AND settled_at < ?"));
    query.addBindValue(stateSettled);
    query.addBindValue(QDateTime::currentDateTimeUtc().addDays(-days).toString(Qt::ISODateWithMs));
    if (!query.exec())
        throw Error(errorText(QStringLiteral("cannot prune the journal"), query.lastError()));
    return query.numRowsAffected();
}

QSqlQuery &OperationJournal::exec(const QString &purpose, const QString &statement,
                                  const QVariantList &values, bool rows)
{
    open();
    // The same few statements at every operation: each prepared once.
    std::unique_ptr<QSqlQuery> &query = m_prepared[statement];
    if (!query) {
        query = std::make_unique<QSqlQuery>(QSqlDatabase::database(m_connection, false));
        query->setForwardOnly(true);
        if (!query->prepare(statement)) {
            const QSqlError error = query->lastError();
            m_prepared.erase(statement);
            throw Error(errorText(purpose, error));
        }
    }
    for (int i = 0; i < values.size(); ++i)
        query->bindValue(i, values.at(i));
    if (!query->exec())
        throw Error(errorText(purpose, query->lastError()));
    // A statement left active would hold SQLite's read snapshot open.
    if (!rows)
        query->finish();
    return *query;
}
