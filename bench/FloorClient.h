#ifndef FLOORCLIENT_H
#define FLOORCLIENT_H

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

/*!
    What a balance or a sale takes at the least, done directly: the same
    lookups on a MySQL connection of the operation's own (MariaDB's C
    client, as an operation opens the till's database anew), the same
    Thrift calls with a fresh TCP connection each (binary protocol,
    buffered), and for a sale the two journal writes that must reach the
    disk (the intent before the payment, the outcome before the answer).
    The plug-in's time is measured against this one's.
*/
class FloorClient
{
public:
    FloorClient(const QString &terminal, quint16 port, const QString &journalPath);
    ~FloorClient();

    // False with the reason on stderr.
    bool open();
    bool balance(const QString &card);
    bool sale(const QString &card, qint64 kopecks, const QString &cashierCode);

private:
    // A query with `value` escaped in for its "?"; the first column of the
    // first row in `first`.
    static bool lookup(struct st_mysql *db, const char *statement, const QByteArray &value,
                       QByteArray *first = nullptr);
    struct st_mysql *connect();
    bool journal(const QString &statement, const QVariantList &values);

    const QString terminal;
    const quint16 port;
    const QString journalPath;
    QSqlDatabase journalDb;
    quint64 transactions = 0;
};

#endif // FLOORCLIENT_H
