#ifndef LEDGERERROR_H
#define LEDGERERROR_H

#include <stdexcept>
#include <string>

/*!
    The ledger database failed (cannot open, a statement failed). what() names
    the statement's purpose and the driver's text. A conflict (MariaDB gave up
    a lock wait or broke a deadlock) rolled the whole transaction back and may
    be tried again; a lost connection is not retried, since a COMMIT may have
    gone through.
*/
class LedgerError : public std::runtime_error
{
public:
    enum class Cause { Other, Conflict, ConnectionLost };

    explicit LedgerError(const std::string &reason, Cause cause = Cause::Other)
        : std::runtime_error(reason)
        , m_cause(cause)
    {
    }

    Cause cause() const { return m_cause; }

private:
    Cause m_cause;
};

#endif // LEDGERERROR_H
