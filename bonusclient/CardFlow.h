#ifndef CARDFLOW_H
#define CARDFLOW_H

#include <QString>

// One card and one amount (roubles).
class CardFlow
{
public:
    CardFlow(const QString &cardNumber, double amount)
        : cardNumber(cardNumber)
        , amount(amount)
    {
    }

    QString cardNumber;
    double amount;
};

#endif // CARDFLOW_H
