#ifndef TILLDATABASE_H
#define TILLDATABASE_H

#include "BonusCreditException.h"
#include "Logger.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

/*!
    The till's local database "dictionaries", on the plug-in's own
    connection (the host's default connection is never touched): opened with
    bounds on connecting, reading and writing, kept from one operation to
    the next, opened once more when the server dropped it, and the card,
    client and cashier lookups on it.

    Invariant: a failing lookup is logged with its statement and thrown, and
    a connection that cannot be had again is a Kind::Database failure.
*/
class TillDatabase
{
public:
    // What the card lookup found; `number` is the number as searched.
    struct Card
    {
        QString number;
        QString id;
        QString clientName;
    };

    TillDatabase();
    ~TillDatabase();
    TillDatabase(const TillDatabase &) = delete;
    TillDatabase &operator=(const TillDatabase &) = delete;

    static QString connectionName();

    bool isOpen() const { return connection.isOpen(); }
    // Opens the connection anew; false with the driver's reason in lastError().
    bool open();
    // The connection kept from an earlier operation, or a new one.
    bool ensureOpen() { return isOpen() || open(); }
    // Closes the connection and takes it off Qt's registry.
    void close();
    QString lastError() const;
    QString databaseName() const { return connection.databaseName(); }
    QStringList tables() const { return connection.tables(); }

    // Rewrites card.number by `pattern` and `rule`, then looks the card and
    // its client up, filling `card` as far as they were found. Throws
    // CardNotFound or ClientNotFound when either is missing.
    void findCard(Card &card, const QString &pattern, const QString &rule);
    // The name of the cashier with `code`; throws CashierNotFound when
    // there is none.
    QString findCashier(const QString &code);

private:
    // Runs `statement` with its one "?" bound to `value`: the `columns`
    // values of the first row as text, or an empty list when there is none.
    // A failing statement is logged and thrown as `failure`.
    QStringList firstRow(const QString &statement, int columns, const QString &value,
                         BonusCreditException::Kind failure);
    // `statement` with its "?" replaced by `value`, escaped by the driver.
    QString lookupText(const QString &statement, const QString &value) const;

    QSqlDatabase connection;
    Logger logger;
};

#endif // TILLDATABASE_H
