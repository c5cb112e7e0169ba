#include "TerminalRegistry.h"

#include "Ledger.h"

#include <QDateTime>

namespace {

QString nowText()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace

void TerminalRegistry::createTables(bool mariaDb)
{
    const QString what = QStringLiteral("cannot create the terminal registry");
    if (mariaDb) {
        Ledger::define(what,
                       QStringLiteral("CREATE TABLE IF NOT EXISTS terminals ("
                                      " id VARCHAR(255) NOT NULL PRIMARY KEY,"
                                      " status INT NOT NULL,"
                                      " changed_at VARCHAR(40) NOT NULL)"
                                      " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4"
                                      " COLLATE=utf8mb4_bin"));
        return;
    }
    Ledger::define(what,
                   QStringLiteral("CREATE TABLE IF NOT EXISTS terminals ("
                                  " id TEXT PRIMARY KEY,"
                                  " status INTEGER NOT NULL,"
                                  " changed_at TEXT NOT NULL)"));
}

TerminalRegistry::TerminalRegistry(Ledger &ledger)
    : m_ledger(ledger)
{
}

QStringList TerminalRegistry::seed(const QStringList &terminals)
{
    QStringList added;
    for (const QString &id : terminals) {
        QString outcome;
        if (create(id, false, outcome))
            added << id;
    }
    return added;
}

TerminalRegistry::Status TerminalRegistry::status(const QString &id)
{
    Status status = Status::NotFound;
    m_ledger.read([&] {
        const QVector<QVariantList> found
            = Ledger::select(QStringLiteral("cannot read terminal %1").arg(id),
                             QStringLiteral("SELECT status FROM terminals WHERE id = ?"), {id}, 1);
        status = found.isEmpty() ? Status::NotFound : Status(found.first().at(0).toInt());
    });
    return status;
}

bool TerminalRegistry::create(const QString &id, bool blocked, QString &outcome)
{
    bool created = false;
    m_ledger.transact([&] {
        created = false;
        // The key settles a race between servers adding the same terminal.
        created = Ledger::execute(QStringLiteral("cannot add terminal %1").arg(id),
                                  (m_ledger.mariaDb() ? QStringLiteral("INSERT IGNORE")
                                                      : QStringLiteral("INSERT OR IGNORE"))
                                      + QStringLiteral(" INTO terminals (id, status, changed_at)"
                                                       " VALUES (?, ?, ?)"),
                                  {id, int(blocked ? Status::Blocked : Status::Active), nowText()})
            > 0;
        if (!created) {
            outcome = QStringLiteral("Терминал уже зарегистрирован");
            return false;
        }
        outcome = blocked ? QStringLiteral("Терминал зарегистрирован заблокированным")
                          : QStringLiteral("Терминал зарегистрирован");
        return true;
    });
    return created;
}

bool TerminalRegistry::setBlocked(const QString &id, bool blocked, QString &outcome)
{
    bool changed = false;
    m_ledger.transact([&] {
        changed = Ledger::execute(QStringLiteral("cannot change terminal %1").arg(id),
                                  QStringLiteral("UPDATE terminals SET status = ?, changed_at = ?"
                                                 " WHERE id = ?"),
                                  {int(blocked ? Status::Blocked : Status::Active), nowText(), id})
            > 0;
        return changed;
    });
    outcome = !changed ? QStringLiteral("Терминал не найден")
        : blocked      ? QStringLiteral("Терминал заблокирован")
                       : QStringLiteral("Терминал активирован");
    return changed;
}
