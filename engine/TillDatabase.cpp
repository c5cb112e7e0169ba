#include "TillDatabase.h"

#include "BonusCreditException.h"
#include "CardNumberMask.h"
#include "Limits.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char mysqlDriver[] = "QMYSQL";
const char dictionaries[] = "dictionaries";
const char databaseUser[] = "root";
const char databaseHost[] = "localhost";
const int databasePort = 3306;

// The server went away or dropped the connection (MariaDB's client errors
// 2006, 2013 and 2055).
bool connectionLost(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("2006") || code == QLatin1String("2013")
        || code == QLatin1String("2055");
}

QString boundStatementText(const QString &statement, const QString &value)
{
    QString text = statement;
    return text.replace(QLatin1Char('?'), QLatin1Char('\'') + value + QLatin1Char('\''));
}

} // namespace

TillDatabase::TillDatabase()
    : logger("payment")
{
}

TillDatabase::~TillDatabase()
{
    close();
}

void TillDatabase::close()
{
    // A host may delete the plug-in while it runs, or Qt may do so at exit,
    // when the registry of connections is already gone: only unregister
    // while the application still stands.
    connection = QSqlDatabase();
    if (QCoreApplication::instance() && QSqlDatabase::contains(connectionName()))
        QSqlDatabase::removeDatabase(connectionName());
}

QString TillDatabase::connectionName()
{
    return QStringLiteral("ProcessingBonusCredit");
}

bool TillDatabase::open()
{
    // Replace our own connection of the last run, quietly; the host's
    // connections are left alone.
    connection = QSqlDatabase();
    if (QSqlDatabase::contains(connectionName()))
        QSqlDatabase::removeDatabase(connectionName());

    connection = QSqlDatabase::addDatabase(QLatin1String(mysqlDriver), connectionName());
    connection.setDatabaseName(QLatin1String(dictionaries));
    connection.setUserName(QLatin1String(databaseUser));
    connection.setPassword(QString());
    connection.setHostName(QLatin1String(databaseHost));
    connection.setPort(databasePort);
    // A frozen server must not hold the till: connecting, reading and
    // writing each have a bound.
    connection.setConnectOptions(
        QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=%1;MYSQL_OPT_READ_TIMEOUT=%2;"
                       "MYSQL_OPT_WRITE_TIMEOUT=%3")
            .arg(Limits::databaseConnectSeconds)
            .arg(Limits::databaseReadSeconds)
            .arg(Limits::databaseWriteSeconds));

    if (!connection.open())
        return false;
    // The driver settles for utf8mb3 with libmariadb; ask for all of UTF-8.
    QSqlQuery names(connection);
    names.exec(QStringLiteral("SET NAMES utf8mb4"));
    return true;
}

QString TillDatabase::lastError() const
{
    return connection.lastError().text();
}

QString TillDatabase::lookupText(const QString &statement, const QString &value) const
{
    // The value goes in escaped by the driver for this connection's
    // character set: as safe as a bound parameter, without the server-side
    // prepare and close that cost two round trips per lookup.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QSqlField field(QString(), QVariant::String);
#else
    QSqlField field(QString(), QMetaType(QMetaType::QString));
#endif
    field.setValue(value);
    QString sql = statement;
    return sql.replace(QLatin1Char('?'), connection.driver()->formatValue(field));
}

QStringList TillDatabase::firstRow(const QString &statement, int columns, const QString &value,
                                   BonusCreditException::Kind failure)
{
    QString text = lookupText(statement, value);
    QStringList row;
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    bool ok = query.exec(text);
    // A connection kept from an earlier operation may have been dropped by
    // the server meanwhile: one fresh connection, one more try.
    if (!ok && connectionLost(query.lastError())) {
        logger.info(QStringLiteral("Соединение с БД потеряно, подключаемся заново"));
        if (!open())
            throw BonusCreditException(BonusCreditException::Kind::Database, lastError());
        // Escaped by the new connection's driver.
        text = lookupText(statement, value);
        query = QSqlQuery(connection);
        query.setForwardOnly(true);
        ok = query.exec(text);
    }
    if (!ok) {
        logger.error(QStringLiteral("sql query '%1' error: '%2'")
                         .arg(boundStatementText(statement, value), query.lastError().text()));
        throw BonusCreditException(failure);
    }
    if (query.next()) {
        for (int i = 0; i < columns; ++i)
            row << query.value(i).toString();
    }
    return row;
}

void TillDatabase::findCard(Card &card, const QString &pattern, const QString &rule)
{
    logger.info(QStringLiteral("Преобразуем номер карты %1: regexPattern=\"%2\", regexRule=\"%3\"")
                    .arg(card.number, pattern, rule));

    if (!rule.isEmpty()) {
        const QRegularExpression expression(pattern);
        if (expression.isValid())
            card.number.replace(expression, rule);
        else
            logger.error(QStringLiteral("Неверное регулярное выражение \"%1\": %2")
                             .arg(pattern, expression.errorString()));
    }

    CardNumberMask::remember(card.number);
    logger.info(QStringLiteral("Поиск карты с номером \"%1\"").arg(card.number));

    const auto cardNotFound = BonusCreditException::Kind::CardNotFound;
    const auto clientNotFound = BonusCreditException::Kind::ClientNotFound;

    const QStringList found
        = firstRow(QStringLiteral("select idclient, idcard from card where number = ?"), 2,
                   card.number, cardNotFound);
    if (found.isEmpty())
        throw BonusCreditException(cardNotFound);

    const QString clientId = found.value(0);
    if (clientId.isEmpty()) {
        logger.error(QStringLiteral("В карте не указан id клиента"));
        throw BonusCreditException(clientNotFound);
    }

    logger.info(QStringLiteral("Карта найдена."));
    card.id = found.value(1);

    logger.info(QStringLiteral("Поиск клиента с идентификатором %1").arg(clientId));
    const QStringList client = firstRow(
        QStringLiteral("select name from client where idClient = ?"), 1, clientId, clientNotFound);
    if (client.isEmpty())
        throw BonusCreditException(clientNotFound);

    card.clientName = client.value(0);
    logger.info(QStringLiteral("Найден клиент %1").arg(card.clientName));
}

QString TillDatabase::findCashier(const QString &code)
{
    logger.info(QStringLiteral("Поиск кассира с кодом %1").arg(code));

    const auto notFound = BonusCreditException::Kind::CashierNotFound;
    const QStringList cashier
        = firstRow(QStringLiteral("select name from mol where code = ?"), 1, code, notFound);
    if (cashier.isEmpty())
        throw BonusCreditException(notFound);

    const QString name = cashier.value(0);
    logger.info(QStringLiteral("Найден кассир: %1").arg(name));
    return name;
}
