#include "AssetBook.h"

#include "CardMask.h"
#include "Ledger.h"

#include <QDateTime>
#include <QHash>

namespace {

// Sessions asked about at once; the statement keeps one shape (and one
// prepared statement) by repeating the last id to fill it.
constexpr int batch = 32;

QString nowText()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

int changeStatus(const QString &event)
{
    if (event == QLatin1String("bonus activated"))
        return 3;
    if (event == QLatin1String("bonus expired"))
        return 4;
    if (event.endsWith(QLatin1String(" pending")))
        return 0;
    if (event.endsWith(QLatin1String(" committed")))
        return 1;
    return 2;
}

int transactionStatus(const QString &state)
{
    if (state == QLatin1String("pending"))
        return 0;
    return state == QLatin1String("committed") ? 1 : 2;
}

// "?, ?, ..." for one batch, and the batch's values.
QString placeholders()
{
    QStringList marks;
    for (int i = 0; i < batch; ++i)
        marks << QStringLiteral("?");
    return marks.join(QStringLiteral(", "));
}

QVariantList batchOf(const QStringList &ids, int from)
{
    QVariantList values;
    for (int i = 0; i < batch; ++i)
        values << ids.at(std::min(from + i, int(ids.size()) - 1));
    return values;
}

int changeCount(const QString &sessionId)
{
    return int(Ledger::count(QStringLiteral("cannot read the changes of %1").arg(sessionId),
                             QStringLiteral("SELECT COUNT(*) FROM history WHERE session_id = ?"),
                             {sessionId}));
}

void writeReason(const QString &sessionId, int item, const QString &terminal, const QString &reason)
{
    Ledger::execute(QStringLiteral("cannot keep the reason for %1").arg(sessionId),
                    QStringLiteral("REPLACE INTO reasons (session_id, item, reason, terminal_id,"
                                   " at) VALUES (?, ?, ?, ?, ?)"),
                    {sessionId, item, reason, terminal, nowText()});
}

} // namespace

void AssetBook::createTables(bool mariaDb)
{
    const QString what = QStringLiteral("cannot create the table of reasons");
    if (mariaDb) {
        Ledger::define(what,
                       QStringLiteral("CREATE TABLE IF NOT EXISTS reasons ("
                                      " session_id VARCHAR(64) NOT NULL,"
                                      " item INT NOT NULL,"
                                      " reason VARCHAR(255) NOT NULL,"
                                      " terminal_id VARCHAR(255) NOT NULL,"
                                      " at VARCHAR(40) NOT NULL,"
                                      " PRIMARY KEY (session_id, item))"
                                      " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4"
                                      " COLLATE=utf8mb4_bin"));
        return;
    }
    Ledger::define(what,
                   QStringLiteral("CREATE TABLE IF NOT EXISTS reasons ("
                                  " session_id TEXT NOT NULL,"
                                  " item INTEGER NOT NULL,"
                                  " reason TEXT NOT NULL,"
                                  " terminal_id TEXT NOT NULL,"
                                  " at TEXT NOT NULL,"
                                  " PRIMARY KEY (session_id, item))"));
}

void AssetBook::noteLatest(const QString &sessionId, const QString &terminal, const QString &reason)
{
    writeReason(sessionId, std::max(0, changeCount(sessionId) - 1), terminal, reason);
}

AssetBook::AssetBook(Ledger &ledger)
    : m_ledger(ledger)
{
}

bool AssetBook::list(const QString &card, Sort sort, bool ascending, qint64 offset, int limit,
                     QVector<Asset> &assets, qint64 &total)
{
    const QString debits
        = QStringLiteral("'%1', '%2', '%3'")
              .arg(Ledger::kindName(Ledger::Kind::Pay), Ledger::kindName(Ledger::Kind::EarnBack),
                   Ledger::kindName(Ledger::Kind::Sub));
    const QString signedAmount
        = QStringLiteral("CASE WHEN t.kind IN (%1) THEN -t.amount ELSE t.amount END").arg(debits);
    QString order;
    switch (sort) {
    case Sort::Id:
        order = QStringLiteral("t.id");
        break;
    case Sort::Amount:
        order = signedAmount;
        break;
    case Sort::Status:
        order = QStringLiteral("CASE t.state WHEN 'pending' THEN 0 WHEN 'committed' THEN 1"
                               " ELSE 2 END");
        break;
    case Sort::Time:
        order = QStringLiteral("t.created_ms");
        break;
    }
    const QString direction = ascending ? QStringLiteral(" ASC") : QStringLiteral(" DESC");

    bool known = false;
    m_ledger.read([&] {
        assets.clear();
        total = 0;
        const QString what
            = QStringLiteral("cannot list the transactions of %1").arg(CardMask::shown(card));
        known = !Ledger::select(what, QStringLiteral("SELECT 1 FROM cards WHERE number = ?"),
                                {card}, 1)
                     .isEmpty();
        if (!known)
            return;
        total = Ledger::count(
            what, QStringLiteral("SELECT COUNT(*) FROM transactions WHERE card_number = ?"),
            {card});
        const QVector<QVariantList> found = Ledger::select(
            what,
            QStringLiteral("SELECT t.session_id, %1, t.state, t.created_ms, t.terminal_id,"
                           " COALESCE(r.status, 0), t.date_from_cash, t.group_id,"
                           " COALESCE(g.begin_ms, 0), COALESCE(g.end_ms, 0),"
                           " COALESCE(g.weight, 0) FROM transactions t"
                           " LEFT JOIN asset_groups g ON g.group_id = t.group_id"
                           " LEFT JOIN terminals r ON r.id = t.terminal_id"
                           " WHERE t.card_number = ? ORDER BY ")
                    .arg(signedAmount)
                + order + direction + QStringLiteral(", t.id") + direction
                + QStringLiteral(" LIMIT ? OFFSET ?"),
            {card, limit, offset}, 11);

        QHash<QString, int> bySession;
        QStringList sessions;
        for (const QVariantList &row : found) {
            Asset asset;
            asset.id = row.at(0).toString();
            asset.amount = row.at(1).toLongLong();
            asset.status = transactionStatus(row.at(2).toString());
            asset.timeMs = row.at(3).toLongLong();
            asset.terminal = row.at(4).toString();
            asset.terminalBlocked = row.at(5).toInt() == 1;
            asset.dateFromCash = row.at(6).toLongLong();
            asset.group.id = row.at(7).toString();
            asset.group.beginMs = row.at(8).toLongLong();
            asset.group.endMs = row.at(9).toLongLong();
            asset.group.weight = row.at(10).toInt();
            bySession.insert(asset.id, assets.size());
            sessions << asset.id;
            assets.append(asset);
        }

        for (int from = 0; from < sessions.size(); from += batch) {
            const QVariantList ids = batchOf(sessions, from);
            // In the order the changes committed, as the card's history is
            // (the card's counter: row ids follow each Galera node's own
            // series); a change's number, which reasons are kept by, too.
            const QVector<QVariantList> changes = Ledger::select(
                what,
                QStringLiteral("SELECT session_id, at, event, terminal_id FROM history"
                               " WHERE session_id IN (%1) ORDER BY seq, id")
                    .arg(placeholders()),
                ids, 4);
            for (const QVariantList &row : changes) {
                Change change;
                change.atMs = QDateTime::fromString(row.at(1).toString(), Qt::ISODateWithMs)
                                  .toMSecsSinceEpoch();
                change.reason = row.at(2).toString();
                change.status = changeStatus(change.reason);
                change.terminal = row.at(3).toString();
                assets[bySession.value(row.at(0).toString())].changes.append(change);
            }
            const QVector<QVariantList> reasons
                = Ledger::select(what,
                                 QStringLiteral("SELECT session_id, item, reason FROM reasons"
                                                " WHERE session_id IN (%1)")
                                     .arg(placeholders()),
                                 ids, 3);
            for (const QVariantList &row : reasons) {
                QVector<Change> &changes = assets[bySession.value(row.at(0).toString())].changes;
                const int item = row.at(1).toInt();
                if (item >= 0 && item < changes.size())
                    changes[item].reason = row.at(2).toString();
            }
        }
    });
    return known;
}

bool AssetBook::setReason(const QString &sessionId, int item, const QString &terminal,
                          const QString &reason, QString &outcome)
{
    bool kept = false;
    m_ledger.transact([&] {
        kept = false;
        const int changes = changeCount(sessionId);
        if (changes == 0) {
            outcome = QStringLiteral("Транзакция не найдена");
            return false;
        }
        if (item < 0 || item >= changes) {
            outcome = QStringLiteral("У транзакции нет изменения с номером %1: их %2")
                          .arg(item)
                          .arg(changes);
            return false;
        }
        writeReason(sessionId, item, terminal, reason);
        outcome = QStringLiteral("Причина записана");
        kept = true;
        return true;
    });
    return kept;
}
