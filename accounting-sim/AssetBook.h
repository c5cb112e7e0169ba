#ifndef ASSETBOOK_H
#define ASSETBOOK_H

#include "BonusGroup.h"

#include <QString>
#include <QVector>

class Ledger;

/*!
    A card's transactions as the administrative service shows them: each
    with its signed effect on the card (money leaving it is negative), its
    state, and the list of its changes (made, committed, rolled back,
    voided, expired, its bonus activated or expired), each with the time,
    the terminal and the reason: the history's event, unless someone gave
    one (setReason(), or a cancel's status).

    Status numbers, of a transaction and of each change: 0 pending,
    1 committed, 2 rolled back (voided, expired or cancelled included); for
    the changes only, 3 bonus activated and 4 bonus expired.
*/
class AssetBook
{
public:
    struct Change
    {
        qint64 atMs = 0;
        QString terminal;
        int status = 0;
        QString reason;
    };
    struct Asset
    {
        QString id;
        qint64 amount = 0;
        int status = 0;
        qint64 timeMs = 0;
        QString terminal;
        bool terminalBlocked = false;
        qint64 dateFromCash = 0;
        BonusGroup group;
        QVector<Change> changes;
    };
    enum class Sort { Id, Amount, Status, Time };

    static void createTables(bool mariaDb);
    // Gives the latest change of the transaction `sessionId` a reason; in the
    // caller's database transaction.
    static void noteLatest(const QString &sessionId, const QString &terminal,
                           const QString &reason);

    explicit AssetBook(Ledger &ledger);

    // The card's transactions in that order (ties by id, in the same
    // direction); false when the card is not on the ledger. `total` is how
    // many it has. Throws LedgerError, as everything here.
    bool list(const QString &card, Sort sort, bool ascending, qint64 offset, int limit,
              QVector<Asset> &assets, qint64 &total);
    // Gives change number `item` (from 0) of the transaction a reason. False
    // with the reason for the refusal in `outcome`.
    bool setReason(const QString &sessionId, int item, const QString &terminal,
                   const QString &reason, QString &outcome);

private:
    Ledger &m_ledger;
};

#endif // ASSETBOOK_H
