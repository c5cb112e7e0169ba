#include "ReversalRule.h"

#include "Limits.h"

#include <iterator>

QString ReversalRule::idOf(const OperationJournal::Record &record)
{
    return record.byTransactionId || record.sessionId.isEmpty() ? record.transactionId
                                                                : record.sessionId;
}

bool ReversalRule::fallsBack(const OperationJournal::Record &record)
{
    return idOf(record) != record.transactionId;
}

ReversalRule::Refused ReversalRule::afterRefusal(const OperationJournal::Record &record,
                                                 const QDateTime &now, int windowSeconds)
{
    // A record without a time (a damaged row) counts as inside the window.
    if (!record.createdAt.isValid() || record.createdAt.secsTo(now) < windowSeconds)
        return Refused::AskAgain;
    return idOf(record) == record.transactionId ? Refused::NothingThere : Refused::NeedsAttention;
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
