#ifndef RUNSTATE_H
#define RUNSTATE_H

#include "ReceiptImage.h"

#include <QString>

/*!
    What one run learns, from the cashier's request to the server's answer.
    A new one is made for every run: nothing of it carries over to the next.
*/
struct RunState
{
    // 1 sale, 2 refund, 3 cancel, 5 balance.
    int operation = 0;
    // In roubles.
    double amount = 0;
    // As the settings' rule rewrote it: it goes to the server and the
    // status file.
    QString cardNumber;
    QString cardId;
    QString clientName;
    QString cashierName;
    double balance = 0;
    ReceiptImage receipt;
};

#endif // RUNSTATE_H
