#include "BonusLots.h"

#include "CardMask.h"
#include "Ledger.h"
#include "LedgerError.h"
#include "LedgerReply.h"

#include <QDateTime>

namespace {

const auto stateInactive = QStringLiteral("inactive");
const auto stateActive = QStringLiteral("active");
const auto stateExpired = QStringLiteral("expired");
const auto stateVoided = QStringLiteral("voided");

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Soonest end first (no end last), then the heavier group, then the older lot.
const QString spendingOrder
    = QStringLiteral(" ORDER BY CASE WHEN l.group_id = ? THEN 0 ELSE 1 END,"
                     " CASE WHEN g.end_ms = 0 THEN 1 ELSE 0 END, g.end_ms, g.weight DESC, l.id");

// Takes `amount` from the card's lots in spending order, `groupId`'s first;
// returns how much came from inactive lots (only `groupId`'s, and only when
// `inactiveToo`). What the lots cannot cover is plain balance.
qint64 consume(const QString &card, qint64 amount, const QString &groupId, bool inactiveToo)
{
    const QVector<QVariantList> lots = Ledger::select(
        QStringLiteral("cannot read the bonus of card %1").arg(CardMask::shown(card)),
        QStringLiteral("SELECT l.id, l.amount_left, l.state FROM lots l"
                       " JOIN asset_groups g ON g.group_id = l.group_id"
                       " WHERE l.card_number = ? AND l.amount_left > 0"
                       " AND (l.state = ? OR (l.state = ? AND l.group_id = ?))")
            + spendingOrder,
        {card, stateActive, stateInactive, inactiveToo ? groupId : QString(), groupId}, 3);
    qint64 left = amount;
    qint64 fromInactive = 0;
    for (const QVariantList &lot : lots) {
        if (left == 0)
            break;
        const qint64 taken = std::min(left, lot.at(1).toLongLong());
        Ledger::execute(
            QStringLiteral("cannot spend bonus of card %1").arg(CardMask::shown(card)),
            QStringLiteral("UPDATE lots SET amount_left = amount_left - ? WHERE id = ?"),
            {taken, lot.at(0)});
        left -= taken;
        if (lot.at(2).toString() == stateInactive)
            fromInactive += taken;
    }
    return fromInactive;
}

BonusGroup groupFrom(const QVariantList &row, int first)
{
    BonusGroup group;
    group.id = row.at(first).toString();
    group.beginMs = row.at(first + 1).toLongLong();
    group.endMs = row.at(first + 2).toLongLong();
    group.weight = row.at(first + 3).toInt();
    return group;
}

} // namespace

void BonusLots::createTables(bool mariaDb)
{
    const QString what = QStringLiteral("cannot create the bonus tables");
    if (mariaDb) {
        const QString table
            = QStringLiteral(" ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin");
        Ledger::define(what,
                       QStringLiteral("CREATE TABLE IF NOT EXISTS asset_groups ("
                                      " group_id VARCHAR(255) NOT NULL PRIMARY KEY,"
                                      " begin_ms BIGINT NOT NULL,"
                                      " end_ms BIGINT NOT NULL,"
                                      " weight INT NOT NULL,"
                                      " KEY by_end (end_ms))")
                           + table);
        Ledger::define(what,
                       QStringLiteral("CREATE TABLE IF NOT EXISTS lots ("
                                      " id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,"
                                      " card_number VARCHAR(255) NOT NULL,"
                                      " transaction_id BIGINT NOT NULL,"
                                      " group_id VARCHAR(255) NOT NULL,"
                                      " amount BIGINT NOT NULL,"
                                      " amount_left BIGINT NOT NULL,"
                                      " expired BIGINT NOT NULL,"
                                      " state VARCHAR(16) NOT NULL,"
                                      " KEY by_card (card_number, state),"
                                      " KEY by_transaction (transaction_id),"
                                      " KEY by_state (state, group_id))")
                           + table);
        return;
    }
    Ledger::define(what,
                   QStringLiteral("CREATE TABLE IF NOT EXISTS asset_groups ("
                                  " group_id TEXT PRIMARY KEY,"
                                  " begin_ms INTEGER NOT NULL,"
                                  " end_ms INTEGER NOT NULL,"
                                  " weight INTEGER NOT NULL)"));
    // One lot for each earning or credit in a group; `expired` is what its
    // end took, `amount_left` what can still be spent (or taken back).
    Ledger::define(what,
                   QStringLiteral("CREATE TABLE IF NOT EXISTS lots ("
                                  " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                  " card_number TEXT NOT NULL,"
                                  " transaction_id INTEGER NOT NULL,"
                                  " group_id TEXT NOT NULL,"
                                  " amount INTEGER NOT NULL,"
                                  " amount_left INTEGER NOT NULL,"
                                  " expired INTEGER NOT NULL,"
                                  " state TEXT NOT NULL)"));
    Ledger::define(what,
                   QStringLiteral("CREATE INDEX IF NOT EXISTS lots_by_card"
                                  " ON lots (card_number, state)"));
    Ledger::define(what,
                   QStringLiteral("CREATE INDEX IF NOT EXISTS lots_by_transaction"
                                  " ON lots (transaction_id)"));
    Ledger::define(what,
                   QStringLiteral("CREATE INDEX IF NOT EXISTS lots_by_state"
                                  " ON lots (state, group_id)"));
}

QString BonusLots::admit(const BonusGroup &group, bool mariaDb)
{
    if (!group.named())
        return group.dated() ? QStringLiteral("Группа бонусов с датами, но без идентификатора")
                             : QString();
    if (group.beginMs < 0 || group.endMs < 0
        || (group.beginMs > 0 && group.endMs > 0 && group.beginMs >= group.endMs))
        return QStringLiteral("Неверные даты группы бонусов");

    const QString what = QStringLiteral("cannot read bonus group %1").arg(group.id);
    const QString read
        = QStringLiteral("SELECT begin_ms, end_ms FROM asset_groups WHERE group_id = ?");
    QVector<QVariantList> known = Ledger::select(what, read, {group.id}, 2);
    if (known.isEmpty()) {
        // Two servers may record it at once; the first one's dates hold.
        Ledger::execute(
            QStringLiteral("cannot record bonus group %1").arg(group.id),
            (mariaDb ? QStringLiteral("INSERT IGNORE") : QStringLiteral("INSERT OR IGNORE"))
                + QStringLiteral(" INTO asset_groups (group_id, begin_ms, end_ms,"
                                 " weight) VALUES (?, ?, ?, ?)"),
            {group.id, group.beginMs, group.endMs, group.weight});
        known = Ledger::select(what, read, {group.id}, 2);
        if (known.isEmpty())
            throw LedgerError(what.toStdString() + ": recorded, then not found");
    }
    const qint64 end = known.first().at(1).toLongLong();
    if (end > 0 && end <= now())
        return QStringLiteral("Срок действия группы бонусов истёк");
    return QString();
}

BonusLots::Effect BonusLots::credit(const QString &card, qint64 transactionId,
                                    const QString &groupId, qint64 amount)
{
    Effect effect;
    effect.active = amount;
    if (groupId.isEmpty())
        return effect;
    const QVector<QVariantList> group = Ledger::select(
        QStringLiteral("cannot read bonus group %1").arg(groupId),
        QStringLiteral("SELECT begin_ms FROM asset_groups WHERE group_id = ?"), {groupId}, 1);
    // A group that ended since the earning was opened: its lot is spendable
    // until the next sweep expires it, which is logged and in the history.
    const bool inactive = !group.isEmpty() && group.first().at(0).toLongLong() > now();
    Ledger::execute(
        QStringLiteral("cannot record bonus of card %1").arg(CardMask::shown(card)),
        QStringLiteral("INSERT INTO lots (card_number, transaction_id, group_id,"
                       " amount, amount_left, expired, state)"
                       " VALUES (?, ?, ?, ?, ?, 0, ?)"),
        {card, transactionId, groupId, amount, amount, inactive ? stateInactive : stateActive});
    if (inactive) {
        effect.active = 0;
        effect.inactive = amount;
    }
    return effect;
}

BonusLots::Effect BonusLots::take(const QString &card, qint64 amount, const QString &groupId,
                                  bool inactiveToo)
{
    const qint64 fromInactive = consume(card, amount, groupId, inactiveToo);
    Effect effect;
    effect.active = -(amount - fromInactive);
    effect.inactive = -fromInactive;
    return effect;
}

BonusLots::Effect BonusLots::revoke(qint64 transactionId, qint64 amount)
{
    Effect effect;
    effect.active = -amount;
    const QVector<QVariantList> lot = Ledger::select(
        QStringLiteral("cannot read the bonus of transaction %1").arg(transactionId),
        QStringLiteral("SELECT id, amount_left, expired, state FROM lots WHERE transaction_id = ?"),
        {transactionId}, 4);
    if (lot.isEmpty())
        return effect;
    // What expired is gone already; what is not spendable yet leaves the
    // inactive balance; the rest, spent or not, leaves the spendable one.
    const qint64 left = lot.first().at(1).toLongLong();
    const qint64 expired = lot.first().at(2).toLongLong();
    const qint64 inactive = lot.first().at(3).toString() == stateInactive ? left : 0;
    effect.active = -(amount - expired - inactive);
    effect.inactive = -inactive;
    Ledger::execute(QStringLiteral("cannot void the bonus of transaction %1").arg(transactionId),
                    QStringLiteral("UPDATE lots SET amount_left = 0, state = ? WHERE id = ?"),
                    {stateVoided, lot.first().at(0)});
    return effect;
}

void BonusLots::trim(const QString &card, qint64 balance)
{
    const QVector<QVariantList> held = Ledger::select(
        QStringLiteral("cannot read the bonus of card %1").arg(CardMask::shown(card)),
        QStringLiteral("SELECT CAST(COALESCE(SUM(amount_left), 0) AS SIGNED) FROM lots"
                       " WHERE card_number = ? AND state = ?"),
        {card, stateActive}, 1);
    const qint64 excess = held.first().at(0).toLongLong() - std::max<qint64>(balance, 0);
    if (excess > 0)
        consume(card, excess, QString(), false);
}

qint64 BonusLots::inactiveLeft(const QString &card, const QString &groupId)
{
    if (groupId.isEmpty())
        return 0;
    const QVector<QVariantList> left = Ledger::select(
        QStringLiteral("cannot read the bonus of card %1").arg(CardMask::shown(card)),
        QStringLiteral("SELECT CAST(COALESCE(SUM(amount_left), 0) AS SIGNED) FROM lots"
                       " WHERE card_number = ? AND group_id = ? AND state = ?"),
        {card, groupId, stateInactive}, 1);
    return left.first().at(0).toLongLong();
}

BonusLots::BonusLots(Ledger &ledger)
    : m_ledger(ledger)
{
}

QStringList BonusLots::sweep()
{
    const qint64 at = now();
    QVector<QVariantList> due;
    m_ledger.read([&] {
        due = Ledger::select(
            QStringLiteral("cannot look for bonus that is due"),
            QStringLiteral("SELECT l.id, l.card_number FROM lots l"
                           " JOIN asset_groups g ON g.group_id = l.group_id"
                           " WHERE l.amount_left > 0 AND ((l.state = ? AND g.begin_ms <= ?)"
                           " OR (l.state IN (?, ?) AND g.end_ms > 0 AND g.end_ms <= ?))"
                           " ORDER BY l.id LIMIT 100"),
            {stateInactive, at, stateInactive, stateActive, at}, 2);
    });

    QStringList lines;
    for (const QVariantList &row : due) {
        const QString card = row.at(1).toString();
        QString line;
        m_ledger.transact([&] {
            line.clear();
            LedgerReply balances;
            if (!m_ledger.lockCard(card, balances))
                return false;
            // Read again under the card's lock: another server may have
            // swept it, or the card spent it, since.
            const QVector<QVariantList> found = Ledger::select(
                QStringLiteral("cannot read bonus lot %1").arg(row.at(0).toLongLong()),
                QStringLiteral("SELECT l.amount_left, l.state, l.group_id, g.begin_ms, g.end_ms,"
                               " t.terminal_id, t.session_id, t.client_session_id FROM lots l"
                               " JOIN asset_groups g ON g.group_id = l.group_id"
                               " JOIN transactions t ON t.id = l.transaction_id WHERE l.id = ?"),
                {row.at(0)}, 8);
            if (found.isEmpty())
                return false;
            const QVariantList &lot = found.first();
            const qint64 left = lot.at(0).toLongLong();
            const QString state = lot.at(1).toString();
            const qint64 begin = lot.at(3).toLongLong();
            const qint64 end = lot.at(4).toLongLong();
            const bool inactive = state == stateInactive;
            if (left <= 0 || (!inactive && state != stateActive))
                return false;

            QString event;
            qint64 moved = 0;
            Effect effect;
            if (end > 0 && end <= at) {
                // What pending payments hold stays theirs until they end.
                moved = inactive
                    ? left
                    : std::min(left, std::max<qint64>(0, balances.balance - m_ledger.held(card)));
                if (moved == 0)
                    return false;
                (inactive ? effect.inactive : effect.active) = -moved;
                event = QStringLiteral("bonus expired");
                Ledger::execute(
                    QStringLiteral("cannot expire bonus of card %1").arg(CardMask::shown(card)),
                    QStringLiteral("UPDATE lots SET amount_left = amount_left - ?,"
                                   " expired = expired + ?, state = ? WHERE id = ?"),
                    {moved, moved, moved == left ? stateExpired : state, row.at(0)});
            } else if (inactive && begin <= at) {
                moved = left;
                effect.active = left;
                effect.inactive = -left;
                event = QStringLiteral("bonus activated");
                Ledger::execute(
                    QStringLiteral("cannot activate bonus of card %1").arg(CardMask::shown(card)),
                    QStringLiteral("UPDATE lots SET state = ? WHERE id = ?"),
                    {stateActive, row.at(0)});
            } else {
                return false;
            }
            m_ledger.adjust(card, event, effect.active, effect.inactive, moved,
                            lot.at(5).toString(), lot.at(6).toString(), lot.at(7).toString(),
                            balances);
            // Concatenated, not arg()-chained: a till's ids may hold "%1".
            line = event + QStringLiteral(" group=") + lot.at(2).toString()
                + QStringLiteral(" terminal=") + lot.at(5).toString() + QStringLiteral(" card=")
                + CardMask::shown(card) + QStringLiteral(" amount=") + QString::number(moved)
                + QStringLiteral(" session=") + lot.at(6).toString()
                + QStringLiteral(" clientSession=") + lot.at(7).toString()
                + QStringLiteral(" balance=") + QString::number(balances.balance)
                + QStringLiteral(" inactive=") + QString::number(balances.balanceInactive);
            return true;
        });
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
}

QVector<BonusGroup> BonusLots::groups(qint64 beginsAfter, qint64 endsBefore, qint64 offset,
                                      int limit)
{
    QVector<BonusGroup> result;
    m_ledger.read([&] {
        result.clear();
        const QVector<QVariantList> found = Ledger::select(
            QStringLiteral("cannot list the bonus groups"),
            QStringLiteral("SELECT group_id, begin_ms, end_ms, weight FROM asset_groups"
                           " WHERE (? = 0 OR begin_ms > ?) AND (? = 0 OR (end_ms > 0"
                           " AND end_ms < ?)) ORDER BY group_id LIMIT ? OFFSET ?"),
            {beginsAfter, beginsAfter, endsBefore, endsBefore, limit, offset}, 4);
        for (const QVariantList &row : found)
            result.append(groupFrom(row, 0));
    });
    return result;
}

QVector<BonusGroup> BonusLots::groupsOf(const QString &card)
{
    QVector<BonusGroup> result;
    m_ledger.read([&] {
        result.clear();
        const QVector<QVariantList> found = Ledger::select(
            QStringLiteral("cannot list the bonus groups of card %1").arg(CardMask::shown(card)),
            QStringLiteral("SELECT g.group_id, g.begin_ms, g.end_ms, g.weight FROM asset_groups g"
                           " WHERE EXISTS (SELECT 1 FROM lots l WHERE l.group_id = g.group_id"
                           " AND l.card_number = ? AND l.amount_left > 0 AND l.state IN (?, ?))"
                           " ORDER BY g.group_id"),
            {card, stateInactive, stateActive}, 4);
        for (const QVariantList &row : found)
            result.append(groupFrom(row, 0));
    });
    return result;
}

bool BonusLots::change(const QString &groupId, qint64 beginShift, qint64 endShift, int weight,
                       QString &outcome)
{
    bool changed = false;
    m_ledger.transact([&] {
        changed = false;
        const QVector<QVariantList> found = Ledger::select(
            QStringLiteral("cannot read bonus group %1").arg(groupId),
            QStringLiteral("SELECT begin_ms, end_ms FROM asset_groups WHERE group_id = ?"),
            {groupId}, 2);
        if (found.isEmpty()) {
            outcome = QStringLiteral("Группа бонусов не найдена");
            return false;
        }
        qint64 begin = found.first().at(0).toLongLong();
        qint64 end = found.first().at(1).toLongLong();
        // A date that is not set has nothing to shift from.
        if ((begin == 0 && beginShift != 0) || (end == 0 && endShift != 0)) {
            outcome = QStringLiteral("Дата группы бонусов не задана: сдвигать нечего");
            return false;
        }
        if (__builtin_add_overflow(begin, beginShift, &begin)
            || __builtin_add_overflow(end, endShift, &end) || begin < 0 || end < 0
            || (beginShift != 0 && begin == 0) || (endShift != 0 && end == 0)
            || (begin > 0 && end > 0 && begin >= end)) {
            outcome = QStringLiteral("Неверные даты группы бонусов");
            return false;
        }
        Ledger::execute(QStringLiteral("cannot change bonus group %1").arg(groupId),
                        QStringLiteral("UPDATE asset_groups SET begin_ms = ?, end_ms = ?,"
                                       " weight = ? WHERE group_id = ?"),
                        {begin, end, weight, groupId});
        outcome = QStringLiteral("Группа бонусов изменена: начало %1, конец %2, вес %3")
                      .arg(begin)
                      .arg(end)
                      .arg(weight);
        changed = true;
        return true;
    });
    return changed;
}
