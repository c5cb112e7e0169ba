#ifndef REVERSALRULE_H
#define REVERSALRULE_H

#include "OperationJournal.h"

#include <QDateTime>
#include <QString>

/*!
    What a reversal names, and what its answer does to the journal record,
    in one place.

    A reversal names the server's session id once the server answered one,
    else the transaction id the till sent. After a reversal by the session
    id got no answer at all (an id the server cannot take, a connection
    closed on it), the later ones name the till's own id, as long as the
    server still takes that id for this transaction (12 hours): past that, a
    reversal by it would find nothing, and be answered as if it had voided
    the transaction.

    A reversal is settled by a success. It is settled by a refusal only when
    it names the till's own id and the reversal window has passed since the
    payment was sent: the payment can no longer be on its way, and the
    server holds nothing of it. A refusal before that is asked again after
    30 s, 2 min, 5 min, then every 15 min. A reversal by the session id that
    is still refused after the window needs a person, and is never settled
    on its own. A reversal that got no answer is tried again at the next
    pass, whatever the window.
*/
class ReversalRule
{
public:
    enum class Refused { AskAgain, NothingThere, NeedsAttention };

    static QString idOf(const OperationJournal::Record &record, const QDateTime &now);
    // Whether a reversal of `record` that got no answer moves the next one
    // to the till's own id.
    static bool fallsBack(const OperationJournal::Record &record, const QDateTime &now);
    static Refused afterRefusal(const OperationJournal::Record &record, const QDateTime &now,
                                int windowSeconds);
    // When a reversal refused for the `attempts`-th time is asked again.
    static QDateTime nextAttempt(int attempts, const QDateTime &now);
    static bool isDue(const OperationJournal::Record &record, const QDateTime &now);
};

#endif // REVERSALRULE_H
