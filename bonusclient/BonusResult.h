#ifndef BONUSRESULT_H
#define BONUSRESULT_H

#include <QString>

// The server's answer to a payment, refund or commit.
class BonusResult
{
public:
    double balance = 0; // roubles
    QString description;
    QString sessionId; // handed on to the commit
};

#endif // BONUSRESULT_H
