#ifndef LEDGERERROR_H
#define LEDGERERROR_H

#include <stdexcept>
#include <string>

/*!
    The ledger database failed (cannot open, a statement failed). what() names
    the statement's purpose and the driver's text.
*/
class LedgerError : public std::runtime_error
{
public:
    explicit LedgerError(const std::string &reason)
        : std::runtime_error(reason)
    {
    }
};

#endif // LEDGERERROR_H
