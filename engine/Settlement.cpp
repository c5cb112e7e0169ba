#include "Settlement.h"

#include "BonusServerUnavailable.h"
#include "Clock.h"
#include "Limits.h"
#include "NoServerAvailable.h"
#include "ReversalRule.h"
#include "VeltaBonusClientThrift.h"

#include <QDeadlineTimer>

#include <exception>

namespace {

using Outcome = OperationJournal::Outcome;
using State = OperationJournal::State;

// Called inside a handler: the exception being handled, unless one is kept.
void keepFirst(std::exception_ptr &kept)
{
    if (!kept)
        kept = std::current_exception();
}

QString textOf(const std::exception &e)
{
    return QString::fromUtf8(e.what());
}

} // namespace

Settlement::Settlement(VeltaBonusClientThrift &client, OperationJournal &journal,
                       int reversalWindowSeconds)
    : client(client)
    , journal(journal)
    , windowSeconds(reversalWindowSeconds)
    , logger("payment")
{
}

qint64 Settlement::pay(int operation, const CardFlow &flow, AdditionalAssetInfo &info)
{
    const bool payBack = operation != 1;
    OperationJournal::Record record;
    record.transactionId = unusedTransactionId(flow.amount);
    record.terminalId = client.getTerminalId();
    record.cardNumber = flow.cardNumber;
    record.createdAt = Clock::currentDateTimeUtc();
    record.id = journal.begin(record.transactionId, record.terminalId, record.cardNumber, operation,
                              VeltaBonusClientThrift::toLongLong(flow.amount));

    BonusResult accepted;
    try {
        accepted = payBack ? client.makePayBack(flow, info, record.transactionId)
                           : client.makePay(flow, info, record.transactionId);
    } catch (const NoServerAvailable &) {
        settled(record.id, Outcome::NotSent);
        throw;
    } catch (const BonusServerUnavailable &) {
        // The request may have arrived: void it under the id the till sent.
        reverse(record);
        throw;
    } catch (const BonusSystemError &e) {
        settled(record.id, Outcome::Refused, textOf(e));
        throw;
    } catch (const std::exception &) {
        reverse(record);
        throw;
    }

    const QString sessionId
        = accepted.sessionId.isEmpty() ? record.transactionId : accepted.sessionId;
    const QString unusable = unusableSession(sessionId, record.id);
    if (!unusable.isEmpty()) {
        // Committing by it could commit another transaction, or nothing:
        // the payment is voided by the till's own id instead.
        logger.error(QStringLiteral("Сервер ответил на транзакцию %1 номером сессии, которым "
                                    "нельзя пользоваться (%2); она отменяется")
                         .arg(record.transactionId, unusable));
        reverse(record);
        throw BonusSystemError(QStringLiteral("Неверный ответ бонусного сервера"),
                               BonusSystemError::Kind::BadAnswer);
    }
    record.sessionId = sessionId;
    journalled("accepted", [&] { journal.accepted(record.id, sessionId); });
    commit(record, flow);

    // Success is said only once the commit is on the till's disk: a commit
    // the journal does not hold would look unfinished to the next pass,
    // which would void it after the cashier heard success.
    try {
        journal.settle(record.id, Outcome::Committed);
    } catch (const OperationJournal::Error &e) {
        logger.error(QStringLiteral("Подтверждение транзакции %1 не записано в журнал, она "
                                    "отменяется: %2")
                         .arg(sessionId, QString::fromUtf8(e.what())));
        reverse(record);
        throw;
    }
    return record.id;
}

QString Settlement::unusedTransactionId(double amount)
{
    QString id = VeltaBonusClientThrift::transactionId(Clock::currentDateTime(), amount);
    // The id repeats every day at the same time for the same amount; an id
    // already used would make a reversal find the older transaction.
    while (journal.holds(id)) {
        Clock::waitForNextMillisecond();
        id = VeltaBonusClientThrift::transactionId(Clock::currentDateTime(), amount);
    }
    return id;
}

QString Settlement::unusableSession(const QString &sessionId, qint64 record)
{
    if (sessionId.size() > Limits::maxSessionIdChars)
        return QStringLiteral("длиннее %1 символов").arg(Limits::maxSessionIdChars);
    if (journal.holds(sessionId, record))
        return QStringLiteral("%1 принадлежит другой операции журнала").arg(sessionId);
    return QString();
}

void Settlement::commit(const OperationJournal::Record &record, const CardFlow &flow)
{
    const QString &sessionId = record.sessionId;
    VeltaBonusClientThrift::TimeLimitScope limits(client);
    std::exception_ptr firstError;
    QDeadlineTimer budget;

    for (int attempt = 0; attempt <= Limits::commitRetries; ++attempt) {
        if (attempt > 0) {
            const qint64 left = budget.remainingTime();
            if (left == 0)
                break;
            limits.cap(left);
            logger.info(QStringLiteral("Повторный запрос подтверждения транзакции %1 (%2 из %3)")
                            .arg(sessionId, QString::number(attempt),
                                 QString::number(Limits::commitRetries)));
        }
        try {
            client.commit(sessionId, flow);
            return;
        } catch (const BonusServerUnavailable &) {
            // No readable answer: the commit may have been applied.
            keepFirst(firstError);
        } catch (const NoServerAvailable &) {
            keepFirst(firstError);
        } catch (const BonusSystemError &) {
            limits.restore();
            reverse(record);
            throw;
        } catch (const std::exception &) {
            keepFirst(firstError);
        }
        // The retries share one receive limit, counted from the first failure.
        if (attempt == 0)
            budget.setRemainingTime(qMax(client.receiveTimeout(), 1));
    }

    limits.restore();
    logger.error(
        QStringLiteral("Подтверждение транзакции %1 не получено, она отменяется").arg(sessionId));
    reverse(record);
    std::rethrow_exception(firstError);
}

bool Settlement::reverse(const OperationJournal::Record &record)
{
    const QString id = ReversalRule::idOf(record, Clock::currentDateTimeUtc());
    QString failure;
    try {
        client.rollback(id, record.cardNumber);
        logger.info(QStringLiteral("Транзакция %1 отменена").arg(id));
        settled(record.id, Outcome::RolledBack);
        return true;
    } catch (const BonusServerUnavailable &e) {
        failure = textOf(e);
    } catch (const NoServerAvailable &e) {
        failure = textOf(e);
    } catch (const BonusSystemError &e) {
        // A refusal settles nothing by itself: the payment may still be on
        // its way to the server, or the server may be unable to look today.
        const QString answer = textOf(e);
        const QDateTime now = Clock::currentDateTimeUtc();
        switch (ReversalRule::afterRefusal(record, now, windowSeconds)) {
        case ReversalRule::Refused::NothingThere:
            logger.info(QStringLiteral("Отмена транзакции %1 отклонена и после %2 с: на сервере "
                                       "её нет (%3)")
                            .arg(id, QString::number(windowSeconds), answer));
            settled(record.id, Outcome::RollbackRefused, answer);
            return true;
        case ReversalRule::Refused::NeedsAttention:
            logger.error(
                QStringLiteral("Отмена транзакции %1 отклоняется дольше %2 с, нужна "
                               "проверка (payment-host recover --forget %3): %4")
                    .arg(id, QString::number(windowSeconds), QString::number(record.id), answer));
            journalled("attention", [&] {
                journal.retry(record.id, State::Attention, answer,
                              ReversalRule::nextAttempt(record.attempts + 1, now));
            });
            return false;
        case ReversalRule::Refused::AskAgain:
            break;
        }
        const QDateTime next = ReversalRule::nextAttempt(record.attempts + 1, now);
        logger.info(QStringLiteral("Отмена транзакции %1 отклонена, она будет повторена в %2: %3")
                        .arg(id, next.toLocalTime().toString(Qt::ISODate), answer));
        journalled("reversalRefused",
                   [&] { journal.retry(record.id, State::Reversing, answer, next); });
        return false;
    } catch (const std::exception &e) {
        failure = textOf(e);
    }
    const bool fallBack = ReversalRule::fallsBack(record, Clock::currentDateTimeUtc());
    // A record that needs attention keeps needing it until a reversal
    // succeeds.
    const State state = record.state == State::Attention ? State::Attention : State::Reversing;
    logger.error(QStringLiteral("Отмена транзакции %1 не выполнена, она будет повторена%2: %3")
                     .arg(id,
                          fallBack ? QStringLiteral(" по номеру транзакции ") + record.transactionId
                                   : QString(),
                          failure));
    journalled("reversalFailed",
               [&] { journal.retry(record.id, state, failure, QDateTime(), fallBack); });
    return false;
}

Settlement::Pass Settlement::settle(int budgetMs, bool everyRecord)
{
    Pass pass;
    const QList<OperationJournal::Record> records = journal.unsettled();
    if (records.isEmpty())
        return pass;

    VeltaBonusClientThrift::TimeLimitScope limits(client);
    const QString terminal = client.getTerminalId();
    const QDateTime now = Clock::currentDateTimeUtc();
    QDeadlineTimer deadline(budgetMs > 0 ? qint64(budgetMs) : qint64(-1));
    for (const OperationJournal::Record &record : records) {
        OperationJournal::Record current = record;
        if (!everyRecord && !ReversalRule::isDue(record, now)) {
            pass.unsettled << current;
            continue;
        }
        if (budgetMs > 0) {
            const qint64 left = deadline.remainingTime();
            if (left == 0) {
                pass.unsettled << current;
                continue;
            }
            limits.cap(left);
        }
        logger.info(QStringLiteral("Отмена незавершённой транзакции %1: карта %2, сумма %3, "
                                   "попыток %4")
                        .arg(ReversalRule::idOf(record, now), record.cardNumber,
                             QString::number(record.amount), QString::number(record.attempts)));
        // The terminal that made it, whatever the settings say today.
        client.setTerminalId(record.terminalId);
        const bool settled = reverse(record);
        journalled("reread", [&] { current = journal.record(record.id); });
        (settled ? pass.settled : pass.unsettled) << current;
    }
    client.setTerminalId(terminal);
    return pass;
}

void Settlement::settled(qint64 id, OperationJournal::Outcome outcome, const QString &reason)
{
    journalled(OperationJournal::textOf(outcome).data(),
               [&] { journal.settle(id, outcome, reason); });
}

void Settlement::journalled(const char *what, const std::function<void()> &write)
{
    try {
        write();
    } catch (const OperationJournal::Error &e) {
        // Money has moved by now; the journal keeps the change in memory,
        // and the run goes on and says so in the log.
        logger.error(QStringLiteral("Ошибка журнала операций (%1): %2")
                         .arg(QLatin1String(what), QString::fromUtf8(e.what())));
    }
}
