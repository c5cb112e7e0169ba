#ifndef CARDREGISTRY_H
#define CARDREGISTRY_H

#include "Ledger.h"

#include <QPair>
#include <QString>
#include <QVector>

#include <optional>

/*!
    The ledger's cards as an operator manages them: created with a status
    and nothing on them, found, counted, listed, and given another status.
    A status change is in the card's history (with no money moved), as is
    the card's creation.
*/
class CardRegistry
{
public:
    using State = Ledger::CardState;

    explicit CardRegistry(Ledger &ledger);

    // False with the reason in `outcome` when the card exists. Throws
    // LedgerError, as everything here.
    bool create(const QString &number, State state, const QString &by, QString &outcome);
    // None when the card is not on the ledger.
    std::optional<State> state(const QString &number);
    bool setState(const QString &number, State state, const QString &by, QString &outcome);
    qint64 count();
    // By number.
    QVector<QPair<QString, State>> page(qint64 offset, int limit);

    static QString name(State state);

private:
    Ledger &m_ledger;
};

#endif // CARDREGISTRY_H
