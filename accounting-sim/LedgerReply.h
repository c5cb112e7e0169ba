#ifndef LEDGERREPLY_H
#define LEDGERREPLY_H

#include <QString>

/*!
    What the ledger answers to one request: accepted or refused with a reason
    for the cashier, and the card's committed balances as they stand after it.
*/
struct LedgerReply
{
    bool accepted = false;
    QString description;
    QString sessionId;
    qint64 balance = 0;
    qint64 balanceInactive = 0;
};

#endif // LEDGERREPLY_H
