#include "CardRegistry.h"

#include "CardMask.h"
#include "LedgerReply.h"

CardRegistry::CardRegistry(Ledger &ledger)
    : m_ledger(ledger)
{
}

bool CardRegistry::create(const QString &number, State state, const QString &by, QString &outcome)
{
    bool created = false;
    m_ledger.transact([&] {
        // The key settles a race between servers adding the same card.
        created = Ledger::execute(QStringLiteral("cannot add card %1").arg(CardMask::shown(number)),
                                  (m_ledger.mariaDb() ? QStringLiteral("INSERT IGNORE")
                                                      : QStringLiteral("INSERT OR IGNORE"))
                                      + QStringLiteral(" INTO cards (number, balance,"
                                                       " balance_inactive, status)"
                                                       " VALUES (?, 0, 0, ?)"),
                                  {number, int(state)})
            > 0;
        if (!created) {
            outcome = QStringLiteral("Карта уже существует");
            return false;
        }
        LedgerReply card;
        m_ledger.lockCard(number, card);
        m_ledger.adjust(number, QStringLiteral("card created ") + name(state), 0, 0, 0, by, {}, {},
                        card);
        outcome = QStringLiteral("Карта создана");
        return true;
    });
    return created;
}

std::optional<CardRegistry::State> CardRegistry::state(const QString &number)
{
    std::optional<State> found;
    m_ledger.read([&] {
        const QVector<QVariantList> rows = Ledger::select(
            QStringLiteral("cannot read card %1").arg(CardMask::shown(number)),
            QStringLiteral("SELECT status FROM cards WHERE number = ?"), {number}, 1);
        found = rows.isEmpty() ? std::nullopt
                               : std::optional<State>(State(rows.first().at(0).toInt()));
    });
    return found;
}

bool CardRegistry::setState(const QString &number, State state, const QString &by, QString &outcome)
{
    bool changed = false;
    m_ledger.transact([&] {
        changed = false;
        LedgerReply card;
        State was = State::Active;
        if (!m_ledger.lockCard(number, card, &was)) {
            outcome = QStringLiteral("Карта не найдена");
            return false;
        }
        if (was == state) {
            outcome = QStringLiteral("Карта уже в состоянии ") + name(state);
            changed = true;
            return false;
        }
        Ledger::execute(QStringLiteral("cannot change card %1").arg(CardMask::shown(number)),
                        QStringLiteral("UPDATE cards SET status = ? WHERE number = ?"),
                        {int(state), number});
        m_ledger.adjust(number, QStringLiteral("status ") + name(state), 0, 0, 0, by, {}, {}, card);
        outcome = QStringLiteral("Состояние карты: ") + name(state);
        changed = true;
        return true;
    });
    return changed;
}

qint64 CardRegistry::count()
{
    qint64 cards = 0;
    m_ledger.read([&] {
        cards = Ledger::count(QStringLiteral("cannot count the cards"),
                              QStringLiteral("SELECT COUNT(*) FROM cards"));
    });
    return cards;
}

QVector<QPair<QString, CardRegistry::State>> CardRegistry::page(qint64 offset, int limit)
{
    QVector<QPair<QString, State>> result;
    m_ledger.read([&] {
        result.clear();
        const QVector<QVariantList> rows
            = Ledger::select(QStringLiteral("cannot list the cards"),
                             QStringLiteral("SELECT number, status FROM cards ORDER BY number"
                                            " LIMIT ? OFFSET ?"),
                             {limit, offset}, 2);
        for (const QVariantList &row : rows)
            result.append({row.at(0).toString(), State(row.at(1).toInt())});
    });
    return result;
}

QString CardRegistry::name(State state)
{
    switch (state) {
    case State::Active:
        return QStringLiteral("ACTIVE");
    case State::Blocked:
        return QStringLiteral("BLOCKED");
    case State::Withdrawn:
        return QStringLiteral("WITHDRAWAL");
    case State::Anonymous:
        return QStringLiteral("ANONYMOUS_CARD");
    }
    return QString::number(int(state));
}
