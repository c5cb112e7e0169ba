#ifndef EARLYLOOKUP_H
#define EARLYLOOKUP_H

#include <QByteArray>
#include <QStringList>

class QSqlDatabase;
struct st_mysql;

/*!
    One lookup sent to MySQL ahead of its turn, on the connection kept from
    the last operation, so that the server works on it while the run goes
    through its preparation; the answer is read when the lookup's turn
    comes. The first statement on a connection that sat idle between two
    operations is the slowest of the run, and preparation is local work that
    can overlap it.

    Only text is sent that the lookup would send anyway; an answer is
    taken only for exactly that text. Anything unexpected leaves the lookup
    to run the usual way, which then reports whatever is wrong.
*/
class EarlyLookup
{
public:
    EarlyLookup() = default;
    EarlyLookup(const EarlyLookup &) = delete;
    EarlyLookup &operator=(const EarlyLookup &) = delete;

    // Sends `statement` on `database`'s own connection, when it is an open
    // MySQL one; nothing is read yet.
    void send(const QSqlDatabase &database, const QString &statement);
    // The first row of the answer to `statement`, `columns` values as
    // text (none when there is no row), when that was what was sent and its
    // answer came; false otherwise.
    bool take(const QString &statement, int columns, QStringList *row);
    // Whether an answer is still due: the connection is not free for
    // another statement until it is taken, or the connection closed.
    bool pending() const { return connection != nullptr; }
    // Forgets an answer still due; the owner closes the connection.
    void abandon() { connection = nullptr; }

private:
    st_mysql *connection = nullptr;
    QByteArray sent;
};

#endif // EARLYLOOKUP_H
