#ifndef LEDGERREPLY_H
#define LEDGERREPLY_H

#include <QString>
#include <QStringList>

/*!
    What the ledger answers to one request: accepted or refused with a reason
    for the cashier, and the card's committed balances as they stand after it.
    `notices` are lines for the operator's log (a void that took a card below
    zero, a transaction found expired). `matchedNothing` marks a commit or
    rollback that found no transaction of its terminal under that id, refused
    or acknowledged: the failure limiter counts them.
*/
struct LedgerReply
{
    bool accepted = false;
    QString description;
    QString sessionId;
    qint64 balance = 0;
    qint64 balanceInactive = 0;
    QStringList notices;
    bool matchedNothing = false;
};

#endif // LEDGERREPLY_H
