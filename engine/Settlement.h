#ifndef SETTLEMENT_H
#define SETTLEMENT_H

#include "BonusResult.h"
#include "Logger.h"
#include "OperationJournal.h"

#include <QList>

#include <functional>

class AdditionalAssetInfo;
class CardFlow;
class VeltaBonusClientThrift;

/*!
    Moves money so that what the cashier is told matches the server's
    ledger. Every payment or refund is journalled before it is sent; a
    commit whose outcome is unknown is asked again; whatever ends in a
    failure for the cashier after the server may have accepted it is rolled
    back, at once or later from the journal.
*/
class Settlement
{
public:
    struct Pass
    {
        QList<OperationJournal::Record> settled;
        QList<OperationJournal::Record> unsettled;
    };

    Settlement(VeltaBonusClientThrift &client, OperationJournal &journal);

    /*!
        makePay (operation 1) or makePayBack, then commitTransaction. Returns
        the journal record once the server committed; the caller journals the
        commit (journalCommitted()) when the cashier's answer is ready.
        Otherwise throws the cashier's error, after the reversal was sent or
        queued. Throws OperationJournal::Error, before anything is sent, when
        the journal cannot take the record.
    */
    qint64 pay(int operation, const CardFlow &flow, AdditionalAssetInfo &info);
    static void journalCommitted(OperationJournal &journal, qint64 record);

    /*!
        Rolls back every unsettled record of the journal. With a budget
        (milliseconds), no call waits past it and the records left over wait
        for the next pass; 0 gives each call its own limits.
    */
    Pass settle(int budgetMs);

private:
    void commit(qint64 record, const QString &sessionId, const CardFlow &flow);
    // Rolls `record` back; a transport failure leaves it in the journal.
    bool reverse(qint64 record, const QString &id, const QString &cardNumber);
    void journalled(const char *what, const std::function<void()> &write);
    static void journalled(const Logger &logger, const char *what,
                           const std::function<void()> &write);

    VeltaBonusClientThrift &client;
    OperationJournal &journal;
    Logger logger;
};

#endif // SETTLEMENT_H
