#ifndef TERMINALREGISTRY_H
#define TERMINALREGISTRY_H

#include <QString>
#include <QStringList>

class Ledger;

/*!
    The terminals the ledger knows, active or blocked, in the ledger itself
    so that every server on it sees one registry. `--terminal` adds to it;
    the administrative service adds, blocks and activates. A blocked
    terminal is refused every call; whether an unknown one is served is the
    server's choice (AccountingHandler).

    Statuses are numbered as the interface numbers TerminalStatus.
*/
class TerminalRegistry
{
public:
    enum class Status { Active = 0, Blocked = 1, NotFound = 2 };

    static void createTables(bool mariaDb);

    explicit TerminalRegistry(Ledger &ledger);

    // Adds the terminals the registry does not have, active; returns those.
    // Throws LedgerError, as everything here.
    QStringList seed(const QStringList &terminals);
    Status status(const QString &id);
    // False with the reason in `outcome` when the terminal exists already.
    bool create(const QString &id, bool blocked, QString &outcome);
    // False with the reason when there is no such terminal.
    bool setBlocked(const QString &id, bool blocked, QString &outcome);

private:
    Ledger &m_ledger;
};

#endif // TERMINALREGISTRY_H
