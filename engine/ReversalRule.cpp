#include "ReversalRule.h"

#include "Limits.h"

#include <iterator>

namespace {

// The server still takes the till's own id for this record's transaction.
bool ownIdTaken(const OperationJournal::Record &record, const QDateTime &now)
{
    return record.createdAt.isValid()
        && record.createdAt.secsTo(now) < Limits::transactionIdHorizonSeconds;
}

} // namespace

QString ReversalRule::idOf(const OperationJournal::Record &record, const QDateTime &now)
{
    if (record.sessionId.isEmpty() || (record.byTransactionId && ownIdTaken(record, now)))
        return record.transactionId;
    return record.sessionId;
}

bool ReversalRule::fallsBack(const OperationJournal::Record &record, const QDateTime &now)
{
    return idOf(record, now) != record.transactionId && ownIdTaken(record, now);
}

ReversalRule::Refused ReversalRule::afterRefusal(const OperationJournal::Record &record,
                                                 const QDateTime &now, int windowSeconds)
{
    // A record without a time (a damaged row) counts as inside the window.
    if (!record.createdAt.isValid() || record.createdAt.secsTo(now) < windowSeconds)
        return Refused::AskAgain;
    return idOf(record, now) == record.transactionId ? Refused::NothingThere
                                                     : Refused::NeedsAttention;
}

QDateTime ReversalRule::nextAttempt(int attempts, const QDateTime &now)
{
    const int last = int(std::size(Limits::reversalBackoffSeconds)) - 1;
    return now.addSecs(Limits::reversalBackoffSeconds[qBound(0, attempts - 1, last)]);
}

bool ReversalRule::isDue(const OperationJournal::Record &record, const QDateTime &now)
{
    return !record.nextAt.isValid() || record.nextAt <= now;
}
