#ifndef OPERATIONJOURNAL_H
#define OPERATIONJOURNAL_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPair>
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
    SQLite file in the work directory with synchronous writes, so that it
    survives the process being killed at any instant.

    A record is written before makePay/makePayBack is sent ("sent"), gets
    the server's session id when the answer comes ("accepted"), and ends
    "settled" with its outcome: committed, refused, notSent, rolledBack or
    rollbackRefused. A reversal that could not reach the server leaves the
    record "reversing" with its attempts and last error, for the next
    operation or `payment-host recover` to settle. A record still "sent" or
    "accepted" belongs to a run that never finished; it is reversed too.
*/
class OperationJournal
{
public:
    // Identity, size and times of the journal and of its write-ahead log.
    using FileMark = std::array<qint64, 10>;

    class Error : public std::runtime_error
    {
    public:
        explicit Error(const QString &reason)
            : std::runtime_error(reason.toStdString())
        {
        }
    };

    struct Record
    {
        qint64 id = 0;
        QString transactionId;
        QString sessionId;
        QString terminalId;
        QString cardNumber;
        int operation = 0;
        qint64 amount = 0; // kopecks
        QDateTime createdAt;
        QString state;
        QString outcome;
        int attempts = 0;
        QString lastError;

        // What a rollback names: the server's id if it ever answered.
        QString reversalId() const { return sessionId.isEmpty() ? transactionId : sessionId; }
    };

    explicit OperationJournal(const QString &path);
    ~OperationJournal();

    OperationJournal(const OperationJournal &) = delete;
    OperationJournal &operator=(const OperationJournal &) = delete;

    QString path() const { return m_path; }

    // Every method throws Error when the file cannot be opened or written.
    void open();
    qint64 begin(const QString &transactionId, const QString &terminalId, const QString &cardNumber,
                 int operation, qint64 amount);
    void accepted(qint64 id, const QString &sessionId);
    void settle(qint64 id, const QString &outcome, const QString &reason = QString());
    void reversalFailed(qint64 id, const QString &error);

    // Cheap when nothing was unsettled at the last look and only this
    // process has written since.
    bool hasUnsettled();
    // Fewest attempts first, then oldest: a record that keeps failing goes
    // to the back and never holds up the others.
    QList<Record> unsettled();
    Record record(qint64 id);
    // Drops settled records older than `days`; returns how many.
    int prune(int days);

private:
    // `rows`: the caller reads the rows, then finishes the query.
    QSqlQuery &exec(const QString &purpose, const QString &statement,
                    const QVariantList &values = {}, bool rows = false);
    void write(qint64 id, const QString &outcome, const QString &reason);
    void writeUnwritten();
    // Nothing unsettled at the last look, and the files (their `mark`)
    // untouched since.
    bool stillSettled(const FileMark &mark) const;

    QString m_path;
    QString m_connection;
    std::map<QString, std::unique_ptr<QSqlQuery>> m_prepared;
    // Outcomes settled while the file would not take them: outcome, reason.
    QHash<qint64, QPair<QString, QString>> m_unwritten;
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
