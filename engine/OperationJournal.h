#ifndef OPERATIONJOURNAL_H
#define OPERATIONJOURNAL_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QVariantList>

#include <array>
#include <map>
#include <memory>
#include <stdexcept>

class QSqlQuery;

/*!
    The till's own record of every payment and refund it sends, kept in an
    SQLite file in the work directory (mode 0600) with synchronous writes,
    so that it survives the process being killed at any instant.

    A record is written before makePay/makePayBack is sent ("sent"), gets
    the server's session id when the answer comes ("accepted"), and ends
    "settled" with its outcome (Outcome below). A reversal that did not
    settle it leaves it "reversing", with its attempts, the last answer or
    failure and when to ask again, or "attention" when a person must look
    at it (ReversalRule). A record still "sent" or "accepted" belongs to a
    run that never finished; it is reversed too.

    A journal at its path is always a whole one: a new journal is made under
    another name and renamed into place. So a file there that is empty, cut
    short or no database at all is damage, reported as such
    (Error::Kind::Damaged), and never replaced but by moveAside().

    What could not be written (a full disk, an I/O error) is kept in memory
    and written at the next chance; until then every reading of this object
    shows it as if it had been written.
*/
class OperationJournal
{
public:
    // Identity, size and times of the journal and of its write-ahead log.
    using FileMark = std::array<qint64, 10>;

    // A record's states and the outcomes of a settled one. The file holds
    // them as text (textOf), and a text it holds that is none of these is
    // an Error of Kind::UnknownText, never taken for one of them.
    enum class State { Sent, Accepted, Reversing, Attention, Settled };
    enum class Outcome {
        None, // not settled
        Committed,
        Refused,
        NotSent,
        RolledBack,
        // Refused after the reversal window: the server holds nothing of it.
        RollbackRefused,
        // Closed by hand (payment-host recover --forget).
        Forgotten,
    };
    static QLatin1String textOf(State state);
    static QLatin1String textOf(Outcome outcome);

    class Error : public std::runtime_error
    {
    public:
        enum class Kind {
            // The file cannot be opened, made, read or written.
            Unavailable,
            // The file is there but holds no sound journal: only
            // moveAside() replaces it.
            Damaged,
            // moveAside() refused: the journal opens, and stays.
            Sound,
            // A record holds a state or outcome this code does not know.
            UnknownText,
        };

        Error(Kind kind, const QString &reason)
            : std::runtime_error(reason.toUtf8().toStdString())
            , m_kind(kind)
        {
        }
        Kind kind() const { return m_kind; }

    private:
        Kind m_kind;
    };

    // Where a record stands. A change made after the record was begun is
    // one too, whose `attempts` are added and whose null `lastError` keeps
    // the one before.
    struct Progress
    {
        State state = State::Sent;
        Outcome outcome = Outcome::None;
        int attempts = 0;
        QString lastError;
        // Invalid: the next pass may try it.
        QDateTime nextAt;
        // The next reversal names the till's own transaction id.
        bool byTransactionId = false;
    };

    struct Record : Progress
    {
        qint64 id = 0;
        QString transactionId;
        QString sessionId;
        QString terminalId;
        QString cardNumber;
        int operation = 0;
        qint64 amount = 0; // kopecks
        QDateTime createdAt;
    };

    explicit OperationJournal(const QString &path);
    ~OperationJournal();

    OperationJournal(const OperationJournal &) = delete;
    OperationJournal &operator=(const OperationJournal &) = delete;

    QString path() const { return m_path; }

    // Every method throws Error when the file cannot be opened or written.
    // A journal that is not there yet is made; an older one is brought to
    // the present layout in place.
    void open();
    void close();

    // Whether `id` is the transaction id or the session id of a record
    // other than `except`.
    bool holds(const QString &id, qint64 except = 0);
    // Reserves room for the record's later writes first (see reserveRoom).
    qint64 begin(const QString &transactionId, const QString &terminalId, const QString &cardNumber,
                 int operation, qint64 amount);
    void accepted(qint64 id, const QString &sessionId);
    void settle(qint64 id, Outcome outcome, const QString &reason = QString());
    // A reversal that did not settle the record: one more attempt, its
    // answer or failure, and when to ask again. `state` is State::Reversing
    // or State::Attention.
    void retry(qint64 id, State state, const QString &answer, const QDateTime &nextAt,
               bool byTransactionId = false);

    // Cheap when nothing was unsettled at the last look and only this
    // process has written since.
    bool hasUnsettled();
    // Fewest attempts first, then oldest: a record that keeps failing goes
    // to the back and never holds up the others.
    QList<Record> unsettled();
    Record record(qint64 id);
    // Drops settled records older than `days`; returns how many.
    int prune(int days);

    // Moves a damaged journal, with its write-ahead log, to
    // path() + ".damaged-<time>" and returns that path. A journal that
    // opens is sound and stays: Error.
    QString moveAside();

private:
    void create();
    void upgrade();
    void reserveRoom();
    void change(qint64 id, const Progress &change);
    void write(qint64 id, const Progress &change);
    void writeUnwritten();
    static void apply(const Progress &change, Record &record);
    // `rows`: the caller reads the rows, then finishes the query.
    QSqlQuery &exec(const QString &purpose, const QString &statement,
                    const QVariantList &values = {}, bool rows = false);
    // Nothing unsettled at the last look, and the files (their `mark`)
    // untouched since.
    bool stillSettled(const FileMark &mark) const;
    // Asks the journal itself; it is open.
    bool anyUnsettledRow();

    QString m_path;
    QString m_connection;
    int m_pageBytes = 4096;
    std::map<QString, std::unique_ptr<QSqlQuery>> m_prepared;
    // Changes made while the file would not take them, one per record.
    QHash<qint64, Progress> m_unwritten;
    // The journal's files when a look last found nothing unsettled (or
    // when this process last settled all it had opened since), and when
    // that look was.
    FileMark m_settledMark {};
    QElapsedTimer m_settledSeen;
    // Records begun by this process and not settled yet, and whether every
    // write since the last look that found nothing has been one of those.
    QSet<qint64> m_opened;
    bool m_ownWritesOnly = false;
};

#endif // OPERATIONJOURNAL_H
