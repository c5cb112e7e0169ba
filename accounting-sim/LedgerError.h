#ifndef LEDGERERROR_H
#define LEDGERERROR_H

#include <stdexcept>
#include <string>

/*!
    The ledger database failed (cannot open, a statement failed), or the
    request ran out of time. what() names the statement's purpose and the
    driver's text. A conflict (a lock wait given up, a deadlock broken, SQLite
    busy) leaves nothing of the transaction and may be tried again; so may a
    connection lost before COMMIT was sent, but not one lost on the COMMIT,
    which may have gone through. Past the deadline nothing is tried again and
    nothing is committed. Whatever the cause, the request's outcome is
    answered as unknown, never as a refusal.
*/
class LedgerError : public std::runtime_error
{
public:
    enum class Cause { Other, Conflict, ConnectionLost, Deadline };

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
