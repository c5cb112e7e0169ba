#include "OperationJournal.h"

#include "CardNumberMask.h"
#include "Clock.h"
#include "Limits.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QFile>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using State = OperationJournal::State;
using Outcome = OperationJournal::Outcome;
using Error = OperationJournal::Error;
using Kind = OperationJournal::Error::Kind;

QAtomicInteger<int> connectionCounter;

// The layout this code writes, kept in the file's user_version.
const int layoutVersion = 1;
// What a page write takes in the write-ahead log besides the page.
const int walFrameHeaderBytes = 24;

// The statements that make the present layout; each may run again.
const char *const layoutStatements[] = {
    "CREATE TABLE IF NOT EXISTS operations ("
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
    " settled_at TEXT,"
    " next_at TEXT,"
    " by_transaction_id INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS operations_state ON operations (state)",
    // Every id sent or answered is looked up before it is used.
    "CREATE INDEX IF NOT EXISTS operations_transaction ON operations (transaction_id)",
    "CREATE INDEX IF NOT EXISTS operations_session ON operations (session_id)",
};
// What a journal of the first layout lacks.
const char *const upgradeStatements[] = {
    "ALTER TABLE operations ADD COLUMN next_at TEXT",
    "ALTER TABLE operations ADD COLUMN by_transaction_id INTEGER NOT NULL DEFAULT 0",
};

// Every record but the settled ones, those of a state this code does not
// know among them, which then fail loudly when read. Two ranges rather than
// "<>", so that the index on the state serves: the settled records are
// nearly all of them.
QString unsettledCondition()
{
    return QStringLiteral("(state < '%1' OR state > '%1')")
        .arg(OperationJournal::textOf(State::Settled));
}

QString timeText(const QDateTime &moment)
{
    return moment.toUTC().toString(Qt::ISODateWithMs);
}

QString now()
{
    return timeText(Clock::currentDateTimeUtc());
}

// NULL for a null text, in every Qt version.
QVariant textOrNull(const QString &text)
{
    return text.isNull() ? QVariant() : QVariant(text);
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

// SQLITE_CORRUPT and SQLITE_NOTADB: the file holds no sound database.
bool isDamage(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("11") || code == QLatin1String("26");
}

Error errorOf(const QString &purpose, const QSqlError &error)
{
    const QString reason = QStringLiteral("%1: %2").arg(purpose, error.text());
    if (isDamage(error))
        return Error(Kind::Damaged, QStringLiteral("the journal is damaged: ") + reason);
    return Error(Kind::Unavailable, reason);
}

// The file's texts of each state and outcome, in the order of the enums.
const char *const stateTexts[] = {"sent", "accepted", "reversing", "attention", "settled"};
const char *const outcomeTexts[]
    = {"", "committed", "refused", "notSent", "rolledBack", "rollbackRefused", "forgotten"};
static_assert(std::size(stateTexts) == std::size_t(State::Settled) + 1, "a text for every state");
static_assert(std::size(outcomeTexts) == std::size_t(Outcome::Forgotten) + 1,
              "a text for every outcome");

template<typename Value, std::size_t count>
Value fromText(const char *const (&texts)[count], const char *what, qint64 id, const QString &text)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (text == QLatin1String(texts[i]))
            return Value(i);
    }
    throw Error(Kind::UnknownText,
                QStringLiteral("record %1 of the journal holds the unknown %2 \"%3\"")
                    .arg(QString::number(id), QLatin1String(what), text));
}

// Owner only: card numbers, amounts and session ids are in it.
void ownerOnly(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info
    {
    };
    if (::stat(name.constData(), &info) == 0 && (info.st_mode & 077) != 0)
        ::chmod(name.constData(), info.st_mode & 0700);
}

const char selectRecord[] = "SELECT id, transaction_id, session_id, terminal_id, card_number,"
                            " operation, amount, created_at, state, outcome, attempts, last_error,"
                            " next_at, by_transaction_id FROM operations";

OperationJournal::Record recordAt(const QSqlQuery &query)
{
    OperationJournal::Record record;
    record.id = query.value(0).toLongLong();
    record.transactionId = query.value(1).toString();
    record.sessionId = query.value(2).toString();
    record.terminalId = query.value(3).toString();
    record.cardNumber = query.value(4).toString();
    // Settling and recover log it.
    CardNumberMask::remember(record.cardNumber);
    record.operation = query.value(5).toInt();
    record.amount = query.value(6).toLongLong();
    record.createdAt = QDateTime::fromString(query.value(7).toString(), Qt::ISODateWithMs);
    record.state = fromText<State>(stateTexts, "state", record.id, query.value(8).toString());
    record.outcome
        = fromText<Outcome>(outcomeTexts, "outcome", record.id, query.value(9).toString());
    record.attempts = query.value(10).toInt();
    record.lastError = query.value(11).toString();
    record.nextAt = QDateTime::fromString(query.value(12).toString(), Qt::ISODateWithMs);
    record.byTransactionId = query.value(13).toInt() != 0;
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

QLatin1String OperationJournal::textOf(State state)
{
    return QLatin1String(stateTexts[int(state)]);
}

QLatin1String OperationJournal::textOf(Outcome outcome)
{
    return QLatin1String(outcomeTexts[int(outcome)]);
}

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
    if (QCoreApplication::instance() && QSqlDatabase::contains(m_connection)) {
        // A last chance for what the file would not take; what stays
        // unwritten shows there as unsettled, and is reversed.
        if (QSqlDatabase::database(m_connection, false).isOpen())
            writeUnwritten();
        m_prepared.clear();
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
    m_prepared.clear();
}

void OperationJournal::open()
{
    if (QSqlDatabase::contains(m_connection)
        && QSqlDatabase::database(m_connection, false).isOpen())
        return;
    m_prepared.clear();
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(m_path).constData(), &info) != 0) {
        if (errno != ENOENT)
            throw Error(
                Kind::Unavailable,
                QStringLiteral("cannot open the journal %1: %2").arg(m_path, errnoText(errno)));
        create();
    } else if (info.st_size == 0) {
        throw Error(Kind::Damaged,
                    QStringLiteral("the journal %1 is damaged: the file is empty").arg(m_path));
    }
    for (const char *suffix : {"", "-wal", "-shm"})
        ownerOnly(m_path + QLatin1String(suffix));

    QSqlDatabase db = QSqlDatabase::contains(m_connection)
        ? QSqlDatabase::database(m_connection, false)
        : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(m_path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open())
        throw errorOf(QStringLiteral("cannot open the journal %1").arg(m_path), db.lastError());
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
        exec(QStringLiteral("cannot limit the journal's log"),
             QStringLiteral("PRAGMA journal_size_limit=%1").arg(Limits::journalLogLimitBytes));
        // A file cut short or overwritten in part may still answer a simple
        // question wrongly ("nothing unsettled"): it is looked over whole,
        // once, when it is opened.
        QSqlQuery &check = exec(QStringLiteral("cannot check the journal"),
                                QStringLiteral("PRAGMA quick_check(1)"), {}, true);
        const QString verdict = check.next() ? check.value(0).toString() : QString();
        check.finish();
        if (verdict != QLatin1String("ok"))
            throw Error(Kind::Damaged,
                        QStringLiteral("the journal %1 is damaged: %2").arg(m_path, verdict));
        QSqlQuery &page = exec(QStringLiteral("cannot read the journal's page size"),
                               QStringLiteral("PRAGMA page_size"), {}, true);
        m_pageBytes = page.next() ? page.value(0).toInt() : m_pageBytes;
        page.finish();
        upgrade();
    } catch (const Error &) {
        m_prepared.clear();
        db.close();
        throw;
    }
}

void OperationJournal::create()
{
    // A log without its journal would be laid over the new one.
    if (QFile::exists(m_path + QStringLiteral("-wal")))
        throw Error(Kind::Damaged,
                    QStringLiteral("the journal %1 is missing, but its write-ahead log is there")
                        .arg(m_path));
    const QString fresh = m_path + QStringLiteral(".new");
    const auto removeFresh = [&fresh] {
        for (const char *suffix : {"", "-wal", "-shm"})
            ::unlink(QFile::encodeName(fresh + QLatin1String(suffix)).constData());
    };
    removeFresh();
    const int fd = ::open(QFile::encodeName(fresh).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Error(Kind::Unavailable,
                    QStringLiteral("cannot make the journal %1: %2").arg(fresh, errnoText(errno)));
    ::close(fd);

    QString failure;
    const QString name = m_connection + QStringLiteral("-new");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(fresh);
        if (!db.open())
            failure = db.lastError().text();
        {
            QSqlQuery query(db);
            QStringList statements {QStringLiteral("PRAGMA journal_mode=WAL")};
            for (const char *statement : layoutStatements)
                statements << QLatin1String(statement);
            statements << QStringLiteral("PRAGMA user_version=%1").arg(layoutVersion);
            for (const QString &statement : statements) {
                if (!failure.isEmpty())
                    break;
                if (!query.exec(statement))
                    failure = query.lastError().text();
            }
        }
        // The last connection checkpoints its log into the file and
        // removes it.
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (failure.isEmpty()
        && ::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(m_path).constData())
            != 0)
        failure = errnoText(errno);
    if (!failure.isEmpty()) {
        removeFresh();
        throw Error(Kind::Unavailable,
                    QStringLiteral("cannot make the journal %1: %2").arg(m_path, failure));
    }
}

void OperationJournal::upgrade()
{
    const auto version = [this] {
        QSqlQuery &query = exec(QStringLiteral("cannot read the journal's layout"),
                                QStringLiteral("PRAGMA user_version"), {}, true);
        const int found = query.next() ? query.value(0).toInt() : 0;
        query.finish();
        return found;
    };
    if (version() >= layoutVersion)
        return;
    // Asked again under the write lock: another process may have upgraded
    // the file meanwhile.
    exec(QStringLiteral("cannot upgrade the journal"), QStringLiteral("BEGIN IMMEDIATE"));
    try {
        QSqlQuery &table = exec(QStringLiteral("cannot read the journal's layout"),
                                QStringLiteral("SELECT COUNT(*) FROM sqlite_master"
                                               " WHERE type = 'table' AND name = 'operations'"),
                                {}, true);
        const bool hasTable = table.next() && table.value(0).toInt() > 0;
        table.finish();
        if (!hasTable)
            throw Error(
                Kind::Damaged,
                QStringLiteral("the journal %1 is damaged: it holds no records").arg(m_path));
        if (version() < layoutVersion) {
            for (const char *statement : upgradeStatements)
                exec(QStringLiteral("cannot upgrade the journal"), QLatin1String(statement));
            for (const char *statement : layoutStatements)
                exec(QStringLiteral("cannot upgrade the journal"), QLatin1String(statement));
            exec(QStringLiteral("cannot upgrade the journal"),
                 QStringLiteral("PRAGMA user_version=%1").arg(layoutVersion));
        }
        exec(QStringLiteral("cannot upgrade the journal"), QStringLiteral("COMMIT"));
    } catch (const Error &) {
        QSqlQuery(QSqlDatabase::database(m_connection, false)).exec(QStringLiteral("ROLLBACK"));
        throw;
    }
}

void OperationJournal::close()
{
    m_prepared.clear();
    if (QSqlDatabase::contains(m_connection))
        QSqlDatabase::database(m_connection, false).close();
    m_settledSeen.invalidate();
}

void OperationJournal::reserveRoom()
{
    // The write-ahead log is written on from its last page, or from its
    // start again once everything was copied into the journal; SQLite then
    // cuts it to journal_size_limit, above the room kept here. So room
    // taken from the disk past its end now, before a payment is sent, holds
    // the payment's outcome even when the disk fills meanwhile.
    const QString wal = m_path + QStringLiteral("-wal");
    const qint64 room = qint64(Limits::journalReservedPages) * (m_pageBytes + walFrameHeaderBytes);
    const int fd = ::open(QFile::encodeName(wal).constData(), O_WRONLY | O_CLOEXEC);
    int failure = fd < 0 ? errno : 0;
    struct stat info
    {
    };
    if (fd >= 0) {
        if (::fstat(fd, &info) != 0
            || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, info.st_size, room) != 0)
            failure = errno;
        ::close(fd);
    }
    // A file system that cannot reserve writes as it goes: a disk that
    // fills then fails the outcome's write, and the payment is voided
    // rather than its outcome lost.
    if (failure == EOPNOTSUPP || failure == ENOSYS)
        failure = 0;
    if (failure != 0)
        throw Error(
            Kind::Unavailable,
            QStringLiteral("no room for the journal in %1: %2").arg(wal, errnoText(failure)));
}

bool OperationJournal::holds(const QString &id, qint64 except)
{
    QSqlQuery &query = exec(QStringLiteral("cannot read the journal"),
                            QStringLiteral("SELECT 1 FROM operations WHERE (transaction_id = ?"
                                           " OR session_id = ?) AND id <> ? LIMIT 1"),
                            {id, id, except}, true);
    const bool found = query.next();
    query.finish();
    return found;
}

qint64 OperationJournal::begin(const QString &transactionId, const QString &terminalId,
                               const QString &cardNumber, int operation, qint64 amount)
{
    // A record opened on a journal known to hold nothing unsettled: once
    // this process has settled all it opened since, it holds nothing
    // unsettled again, and need not be looked at for the next operation.
    if (m_opened.isEmpty())
        m_ownWritesOnly = stillSettled(fileMarkOf(m_path));
    open();
    reserveRoom();
    // Kept active until its id is read: the driver answers it only then.
    QSqlQuery &insert = exec(
        QStringLiteral("cannot record transaction %1").arg(transactionId),
        QStringLiteral("INSERT INTO operations (transaction_id, terminal_id, card_number,"
                       " operation, amount, created_at, state) VALUES (?, ?, ?, ?, ?, ?, ?)"),
        {transactionId, terminalId, cardNumber, operation, amount, now(), textOf(State::Sent)},
        true);
    const qint64 id = insert.lastInsertId().toLongLong();
    insert.finish();
    if (id <= 0)
        throw Error(Kind::Unavailable,
                    QStringLiteral("cannot record transaction %1: no id").arg(transactionId));
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
         {textOf(State::Accepted), sessionId, id});
}

void OperationJournal::settle(qint64 id, Outcome outcome, const QString &reason)
{
    Progress settled;
    settled.state = State::Settled;
    settled.outcome = outcome;
    if (!reason.isEmpty())
        settled.lastError = reason.left(Limits::maxJournalTextChars);
    change(id, settled);
    // Settling a record of an earlier run says nothing of the others.
    if (!m_opened.remove(id))
        m_ownWritesOnly = false;
    // Every writer holds the till's lock for its whole run, so the files
    // changed only by this run's own writes.
    if (m_opened.isEmpty() && m_ownWritesOnly && m_unwritten.isEmpty())
        m_settledMark = fileMarkOf(m_path);
}

void OperationJournal::retry(qint64 id, State state, const QString &answer, const QDateTime &nextAt,
                             bool byTransactionId)
{
    Progress again;
    again.state = state;
    again.lastError
        = answer.isEmpty() ? QLatin1String("") : answer.left(Limits::maxJournalTextChars);
    again.attempts = 1;
    again.nextAt = nextAt;
    again.byTransactionId = byTransactionId;
    change(id, again);
}

void OperationJournal::change(qint64 id, const Progress &change)
{
    // Laid over what is still waiting for this record, so that nothing of
    // it is lost when this one is written.
    Progress merged = change;
    const auto kept = m_unwritten.constFind(id);
    if (kept != m_unwritten.cend()) {
        merged.attempts += kept->attempts;
        merged.byTransactionId = merged.byTransactionId || kept->byTransactionId;
        if (merged.lastError.isNull())
            merged.lastError = kept->lastError;
    }
    try {
        write(id, merged);
        m_unwritten.remove(id);
    } catch (const Error &) {
        // Kept until it can be written, and read as if it had been: a
        // voided sale must never look committed to this process, nor a
        // settled record unsettled.
        m_unwritten.insert(id, merged);
        throw;
    }
}

void OperationJournal::write(qint64 id, const Progress &change)
{
    const bool settled = change.state == State::Settled;
    exec(QStringLiteral("cannot record the outcome of %1").arg(id),
         QStringLiteral("UPDATE operations SET state = ?, outcome = ?, attempts = attempts + ?,"
                        " last_error = COALESCE(?, last_error), next_at = ?,"
                        " by_transaction_id = MAX(by_transaction_id, ?), settled_at = ?"
                        " WHERE id = ?"),
         {textOf(change.state), textOf(change.outcome), change.attempts,
          textOrNull(change.lastError),
          change.nextAt.isValid() ? QVariant(timeText(change.nextAt)) : QVariant(),
          change.byTransactionId ? 1 : 0, settled ? QVariant(now()) : QVariant(), id});
}

void OperationJournal::writeUnwritten()
{
    for (auto it = m_unwritten.begin(); it != m_unwritten.end();) {
        try {
            write(it.key(), it.value());
            it = m_unwritten.erase(it);
        } catch (const Error &) {
            ++it;
        }
    }
}

void OperationJournal::apply(const Progress &change, Record &record)
{
    record.state = change.state;
    record.outcome = change.outcome;
    record.attempts += change.attempts;
    if (!change.lastError.isNull())
        record.lastError = change.lastError;
    record.nextAt = change.nextAt;
    record.byTransactionId = record.byTransactionId || change.byTransactionId;
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
    if (stillSettled(mark)) {
        // The skip's one rule: files as the last empty look left them hold
        // nothing unsettled.
        Q_ASSERT((open(), !anyUnsettledRow()));
        return false;
    }
    m_settledSeen.invalidate();
    m_ownWritesOnly = false;

    open();
    writeUnwritten();
    const bool found = anyUnsettledRow();
    // The mark from before the look: a write that came in meanwhile shows
    // as a change next time.
    if (!found && m_unwritten.isEmpty()) {
        m_settledMark = mark;
        m_settledSeen.start();
    }
    return found || !m_unwritten.isEmpty();
}

bool OperationJournal::anyUnsettledRow()
{
    static const QString statement
        = QStringLiteral("SELECT 1 FROM operations WHERE %1 LIMIT 1").arg(unsettledCondition());
    QSqlQuery &query = exec(QStringLiteral("cannot read the journal"), statement, {}, true);
    const bool found = query.next();
    query.finish();
    return found;
}

QList<OperationJournal::Record> OperationJournal::unsettled()
{
    open();
    writeUnwritten();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QLatin1String(selectRecord)
                    + QStringLiteral(" WHERE %1 ORDER BY attempts, id").arg(unsettledCondition())))
        throw errorOf(QStringLiteral("cannot read the journal"), query.lastError());
    QList<Record> records;
    while (query.next()) {
        Record record = recordAt(query);
        const auto kept = m_unwritten.constFind(record.id);
        if (kept != m_unwritten.cend()) {
            if (kept->state == State::Settled)
                continue;
            apply(*kept, record);
        }
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
        throw errorOf(QStringLiteral("cannot read the journal"), query.lastError());
    if (!query.next())
        return Record();
    Record record = recordAt(query);
    const auto kept = m_unwritten.constFind(id);
    if (kept != m_unwritten.cend())
        apply(*kept, record);
    return record;
}

int OperationJournal::prune(int days)
{
    open();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("DELETE FROM operations WHERE state = ? AND settled_at < ?"));
    query.addBindValue(textOf(State::Settled));
    query.addBindValue(timeText(Clock::currentDateTimeUtc().addDays(-days)));
    if (!query.exec())
        throw errorOf(QStringLiteral("cannot prune the journal"), query.lastError());
    return query.numRowsAffected();
}

QString OperationJournal::moveAside()
{
    bool damaged = false;
    try {
        open();
    } catch (const Error &e) {
        if (e.kind() != Kind::Damaged)
            throw;
        damaged = true;
    }
    if (!damaged)
        throw Error(Kind::Sound,
                    QStringLiteral("the journal %1 is sound; it stays where it is").arg(m_path));
    close();
    // What this process kept for the damaged file belongs to it.
    m_unwritten.clear();
    m_opened.clear();
    const QString aside = m_path + QStringLiteral(".damaged-")
        + Clock::currentDateTime().toString(QStringLiteral("yyyyMMdd'T'hhmmss"));
    for (const char *suffix : {"", "-wal", "-shm"}) {
        const QByteArray from = QFile::encodeName(m_path + QLatin1String(suffix));
        const QByteArray to = QFile::encodeName(aside + QLatin1String(suffix));
        if (::access(from.constData(), F_OK) == 0
            && ::rename(from.constData(), to.constData()) != 0)
            throw Error(Kind::Unavailable,
                        QStringLiteral("cannot move %1 to %2: %3")
                            .arg(QFile::decodeName(from), QFile::decodeName(to), errnoText(errno)));
    }
    return aside;
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
            throw errorOf(purpose, error);
        }
    }
    for (int i = 0; i < values.size(); ++i)
        query->bindValue(i, values.at(i));
    if (!query->exec())
        throw errorOf(purpose, query->lastError());
    // A statement left active would hold SQLite's read snapshot open.
    if (!rows)
        query->finish();
    return *query;
}
