#include "BalanceSnapshots.h"

#include "Ledger.h"

#include <QDateTime>

void BalanceSnapshots::createTables(bool mariaDb)
{
    const QString what = QStringLiteral("cannot create the table of balances");
    if (mariaDb) {
        Ledger::define(what,
                       QStringLiteral("CREATE TABLE IF NOT EXISTS actual_bonuses ("
                                      " card_number VARCHAR(255) NOT NULL PRIMARY KEY,"
                                      " at_ms BIGINT NOT NULL,"
                                      " balance BIGINT NOT NULL)"
                                      " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4"
                                      " COLLATE=utf8mb4_bin"));
        return;
    }
    Ledger::define(what,
                   QStringLiteral("CREATE TABLE IF NOT EXISTS actual_bonuses ("
                                  " card_number TEXT PRIMARY KEY,"
                                  " at_ms INTEGER NOT NULL,"
                                  " balance INTEGER NOT NULL)"));
}

BalanceSnapshots::BalanceSnapshots(Ledger &ledger)
    : m_ledger(ledger)
{
}

qint64 BalanceSnapshots::make()
{
    qint64 taken = 0;
    m_ledger.transact([&] {
        const QString what = QStringLiteral("cannot take a snapshot of the balances");
        Ledger::execute(what, QStringLiteral("DELETE FROM actual_bonuses"), {});
        taken = Ledger::execute(what,
                                QStringLiteral("INSERT INTO actual_bonuses (card_number, at_ms,"
                                               " balance) SELECT number, ?, balance FROM cards"),
                                {QDateTime::currentMSecsSinceEpoch()});
        return true;
    });
    return taken;
}

qint64 BalanceSnapshots::refresh()
{
    qint64 taken = 0;
    m_ledger.transact([&] {
        // Read into a list first: MariaDB will not insert into the table the
        // same statement reads.
        const QString what = QStringLiteral("cannot bring the balances up to date");
        const QVector<QVariantList> changed = Ledger::select(
            what,
            QStringLiteral("SELECT c.number, c.balance FROM cards c"
                           " LEFT JOIN actual_bonuses a ON a.card_number = c.number"
                           " WHERE a.card_number IS NULL OR a.balance <> c.balance"),
            {}, 2);
        const qint64 at = QDateTime::currentMSecsSinceEpoch();
        for (const QVariantList &row : changed)
            Ledger::execute(what,
                            QStringLiteral("REPLACE INTO actual_bonuses (card_number, at_ms,"
                                           " balance) VALUES (?, ?, ?)"),
                            {row.at(0), at, row.at(1)});
        taken = changed.size();
        return true;
    });
    return taken;
}

qint64 BalanceSnapshots::count()
{
    qint64 rows = 0;
    m_ledger.read([&] {
        rows = Ledger::count(QStringLiteral("cannot count the balances"),
                             QStringLiteral("SELECT COUNT(*) FROM actual_bonuses"));
    });
    return rows;
}

QVector<BalanceSnapshots::Row> BalanceSnapshots::page(qint64 offset, int limit)
{
    QVector<Row> result;
    m_ledger.read([&] {
        result.clear();
        const QVector<QVariantList> found
            = Ledger::select(QStringLiteral("cannot read the balances"),
                             QStringLiteral("SELECT card_number, at_ms, balance FROM actual_bonuses"
                                            " ORDER BY card_number LIMIT ? OFFSET ?"),
                             {limit, offset}, 3);
        for (const QVariantList &row : found)
            result.append({row.at(0).toString(), row.at(1).toLongLong(), row.at(2).toLongLong()});
    });
    return result;
}
