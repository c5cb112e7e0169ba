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
    ledger. Every payment or refund is journalled, under a transaction id
    the journal has never held, before it is sent; a commit whose outcome is
    unknown is asked again; success is said only once "committed" is on the
    till's disk; whatever ends in a failure for the cashier after the server
    may have accepted it is rolled back, at once or later from the journal,
    as ReversalRule says.
*/
class Settlement
{
public:
    struct Pass
    {
        QList<OperationJournal::Record> settled;
        QList<OperationJournal::Record> unsettled;
    };

    Settlement(VeltaBonusClientThrift &client, OperationJournal &journal,
               int reversalWindowSeconds);

    /*!
        makePay (operation 1) or makePayBack, then commitTransaction. Returns
        the journal record once the server committed and the journal holds
        the commit on disk. Otherwise throws the cashier's error, after the
        reversal was sent or queued. Throws OperationJournal::Error when the
        journal cannot take the record (before anything is sent) or cannot
        take the commit (after the payment was voided).
    */
    qint64 pay(int operation, const CardFlow &flow, AdditionalAssetInfo &info);

    /*!
        Rolls back the journal's unsettled records: all of them with
        `everyRecord`, else those whose next attempt is due. With a budget
        (milliseconds), no call waits past it and the records left over wait
        for the next pass; 0 gives each call its own limits.
    */
    Pass settle(int budgetMs, bool everyRecord);

private:
    // A transaction id made of the time and the amount, that the journal
    // has never held: the time moves on a millisecond until it is one.
    QString unusedTransactionId(double amount);
    // Why the server's session id cannot be committed or rolled back by;
    // empty when it can.
    QString unusableSession(const QString &sessionId, qint64 record);
    void commit(const OperationJournal::Record &record, const CardFlow &flow);
    // Rolls `record` back; answers whether that settled it.
    bool reverse(const OperationJournal::Record &record);
    // The journal's writes once money may have moved: a failure is logged
    // under `what`, and the run goes on.
    void journalled(const char *what, const std::function<void()> &write);
    void settled(qint64 id, OperationJournal::Outcome outcome, const QString &reason = QString());

    VeltaBonusClientThrift &client;
    OperationJournal &journal;
    const int windowSeconds;
    Logger logger;
};

#endif // SETTLEMENT_H
