#ifndef BONUSLOTS_H
#define BONUSLOTS_H

#include "BonusGroup.h"

#include <QString>
#include <QStringList>
#include <QVector>

class Ledger;

/*!
    Bonus earned in a named group, followed lot by lot: each earning or
    credit in a group is a lot of its own, with what is left of it. The
    group gives the dates (the ledger keeps each group once, as first
    named): before its begin a lot counts in the card's inactive balance, at
    its begin it becomes spendable, at its end what is left of it expires.
    Spending takes the lots that end soonest first (then the heavier groups,
    then the older lots), so a customer loses as little as can be. Money
    that comes back (a refund, a void of a payment) is plain balance.

    Per card, the spendable lots never hold more than the spendable balance,
    nor the inactive lots more than the inactive balance, so an expiry takes
    only money that is there: spending takes from the lots first, and a void
    that takes money away trims the lots to what is left (trim()). An expiry
    never takes money that pending payments hold; what it could not take it
    takes at a later sweep.

    The static functions run inside the caller's database transaction with
    the card locked. sweep() makes its own, one lot at a time; several
    servers may sweep one ledger, since a lot changes only from the state
    read under its card's lock.
*/
class BonusLots
{
public:
    // Changes of a card's spendable and inactive balances.
    struct Effect
    {
        qint64 active = 0;
        qint64 inactive = 0;
    };

    static void createTables(bool mariaDb);

    // Empty when bonus may be earned in the group (a new one is recorded);
    // otherwise the refusal for the till.
    static QString admit(const BonusGroup &group, bool mariaDb);
    // Bonus of the earning or credit `transactionId` comes to the card.
    static Effect credit(const QString &card, qint64 transactionId, const QString &groupId,
                         qint64 amount);
    // `amount` leaves the card: from `groupId`'s lots first (inactive ones
    // too when `inactiveToo`), then from the spendable lots in spending order.
    static Effect take(const QString &card, qint64 amount, const QString &groupId,
                       bool inactiveToo);
    // A void of the earning or credit `transactionId`: all of it leaves the
    // card but what already expired.
    static Effect revoke(qint64 transactionId, qint64 amount);
    // Takes from the spendable lots what they hold beyond `balance`.
    static void trim(const QString &card, qint64 balance);
    // What the group's lots on the card hold that is not spendable yet.
    static qint64 inactiveLeft(const QString &card, const QString &groupId);

    explicit BonusLots(Ledger &ledger);

    // Activates and expires the lots that are due; a log line for each.
    // Throws LedgerError.
    QStringList sweep();

    // Groups beginning after `beginsAfter` and ending before `endsBefore`
    // (0: no bound), by id.
    QVector<BonusGroup> groups(qint64 beginsAfter, qint64 endsBefore, qint64 offset, int limit);
    // The groups whose bonus the card holds, spendable or not yet.
    QVector<BonusGroup> groupsOf(const QString &card);
    // Moves a group's set dates by the shifts and sets its weight. Lots
    // already spendable stay so. False with the reason in `outcome`.
    bool change(const QString &groupId, qint64 beginShift, qint64 endShift, int weight,
                QString &outcome);

private:
    Ledger &m_ledger;
};

#endif // BONUSLOTS_H
