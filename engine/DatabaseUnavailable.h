#ifndef DATABASEUNAVAILABLE_H
#define DATABASEUNAVAILABLE_H

#include "BonusCreditException.h"

/*!
    The till's database went away during an operation and could not be
    reached again. Answered like a database that cannot be opened at the
    start of a run: nothing was sent to the server.
*/
class DatabaseUnavailable : public BonusCreditException
{
public:
    DatabaseUnavailable()
        : BonusCreditException(QStringLiteral("Не удалось подключиться к БД"))
    {
    }
};

#endif // DATABASEUNAVAILABLE_H
