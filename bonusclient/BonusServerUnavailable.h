#ifndef BONUSSERVERUNAVAILABLE_H
#define BONUSSERVERUNAVAILABLE_H

#include "BonusSystemError.h"

/*!
    A call that got no answer the client could read: the connection broke,
    the time ran out, or the reply was malformed. Unlike a refusal, the
    server may have carried the call out, so money may have moved.
*/
class BonusServerUnavailable : public BonusSystemError
{
public:
    explicit BonusServerUnavailable(const QString &message)
        : BonusSystemError(message, Kind::Unavailable)
    {
    }
};

#endif // BONUSSERVERUNAVAILABLE_H
