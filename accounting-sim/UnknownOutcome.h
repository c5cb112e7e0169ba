#ifndef UNKNOWNOUTCOME_H
#define UNKNOWNOUTCOME_H

#include <string>

/*!
    Thrown by the handler when it cannot say how a request ended (the ledger
    failed, or the request ran out of time and was rolled back). A refusal
    would tell the till that nothing happened; this is answered instead as a
    TApplicationException of type INTERNAL_ERROR, which a till treats as "no
    answer" and settles by a reversal.

    Deliberately not a std::exception: the generated processor catches those
    and answers them as UNKNOWN, so this one passes through it to
    AccountingProcessor, which writes the answer.
*/
struct UnknownOutcome
{
    // The exception's text on the wire; the cause stays in the server's log.
    std::string message;
};

#endif // UNKNOWNOUTCOME_H
