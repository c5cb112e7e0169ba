#ifndef ENGINETESTACCESS_H
#define ENGINETESTACCESS_H

#include "BonusCredit.h"

/*!
    Reaches the engine's private fields, so a single step or a slip can be
    driven and read without a whole run. Each accessor gives a reference:
    `access.widthPrint() = 40;`.
*/
class EngineTestAccess
{
public:
    explicit EngineTestAccess(BonusCredit &engine)
        : e(engine)
    {
    }

    QString &statusFile() { return e.statusFile; }
    QString &printFile() { return e.printFile; }
    QString &workDir() { return e.workDir; }
    int &operationType() { return e.operationType; }
    double &amount() { return e.amount; }
    QString &cardId() { return e.cardId; }
    QString &cardNumber() { return e.cardNumber; }
    int &widthPrint() { return e.widthPrint; }
    QString &regexPattern() { return e.regexPattern; }
    QString &regexRule() { return e.regexRule; }
    QString &header() { return e.header; }
    double &balance() { return e.balance; }
    QString &clientName() { return e.clientName; }
    QSqlDatabase &dbConnection() { return e.dbConnection; }
    QVariantMap &checkImg() { return e.checkImg; }
    QString &cashierName() { return e.cashierName; }

private:
    BonusCredit &e;
};

#endif // ENGINETESTACCESS_H
