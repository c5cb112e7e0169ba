#include "EarlyLookup.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <mysql.h>

void EarlyLookup::send(const QSqlDatabase &database, const QString &statement)
{
    // One statement out at a time: an answer still due would be read as
    // this one's.
    Q_ASSERT(!pending());
    connection = nullptr;
    if (!database.isOpen() || !database.driver())
        return;
    const QVariant handle = database.driver()->handle();
    if (qstrcmp(handle.typeName(), "MYSQL*") != 0)
        return;
    MYSQL *mysql = *static_cast<MYSQL *const *>(handle.constData());
    if (!mysql)
        return;
    sent = statement.toUtf8();
    if (mysql_send_query(mysql, sent.constData(), (unsigned long)sent.size()) == 0)
        connection = mysql;
}

bool EarlyLookup::take(const QString &statement, int columns, QStringList *row)
{
    MYSQL *mysql = connection;
    connection = nullptr;
    if (!mysql)
        return false;
    // Read whatever came, the answer to another text included: only then
    // is the connection free for the usual way.
    if (mysql_read_query_result(mysql) != 0)
        return false;
    MYSQL_RES *result = mysql_store_result(mysql);
    if (!result)
        return false;
    const bool same = sent == statement.toUtf8();
    if (same) {
        row->clear();
        const MYSQL_ROW values = mysql_fetch_row(result);
        const unsigned long *lengths = values ? mysql_fetch_lengths(result) : nullptr;
        const int fields = int(mysql_num_fields(result));
        for (int i = 0; values && i < columns; ++i) {
            *row << (i < fields && values[i] ? QString::fromUtf8(values[i], int(lengths[i]))
                                             : QString());
        }
    }
    mysql_free_result(result);
    return same;
}
