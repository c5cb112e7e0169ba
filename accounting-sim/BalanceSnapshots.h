#ifndef BALANCESNAPSHOTS_H
#define BALANCESNAPSHOTS_H

#include <QString>
#include <QVector>

class Ledger;

/*!
    A table, in the ledger, of every card's spendable balance on a date: for
    reports and reconciliations that must not read a ledger that moves under
    them. make() takes a new snapshot of every card at one moment (one
    database transaction); refresh() brings it up to date, giving the cards
    whose balance changed since (and the new ones) their balance now, and
    leaving the others as they were with their date.
*/
class BalanceSnapshots
{
public:
    struct Row
    {
        QString card;
        qint64 atMs = 0;
        qint64 balance = 0;
    };

    static void createTables(bool mariaDb);

    explicit BalanceSnapshots(Ledger &ledger);

    // How many cards the snapshot holds (make) or took anew (refresh).
    // Throws LedgerError, as everything here.
    qint64 make();
    qint64 refresh();
    qint64 count();
    // By card number.
    QVector<Row> page(qint64 offset, int limit);

private:
    Ledger &m_ledger;
};

#endif // BALANCESNAPSHOTS_H
