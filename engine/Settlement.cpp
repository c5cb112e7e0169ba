#include "Settlement.h"

#include "BonusServerUnavailable.h"
#include "Clock.h"
#include "Limits.h"
#include "NoServerAvailable.h"
#include "ThriftTransportProvider.h"
#include "VeltaBonusClientThrift.h"

#include <QDeadlineTimer>

#include <exception>

namespace {

const auto outcomeCommitted = QStringLiteral("committed");
const auto outcomeRefused = QStringLiteral("refused");
const auto outcomeNotSent = QStringLiteral("notSent");
const auto outcomeRolledBack = QStringLiteral("rolledBack");
const auto outcomeRollbackRefused = QStringLiteral("rollbackRefused");

// Called inside a handler: the exception being handled, unless one is kept.
void keepFirst(std::exception_ptr &kept)
{
    if (!kept)
        kept = std::current_exception();
}

QString textOf(const std::exception &e)
{
    return QString::fromLocal8Bit(e.what());
}

// Lowers the provider's time limits to what is left of a budget, and puts
// them back when it goes.
class LimitScope
{
public:
    explicit LimitScope(ThriftTransportProvider *provider)
        : provider(provider)
        , connect(provider->getConnectTimeout())
        , receive(provider->getReceiveTimeout())
        , send(provider->getSendTimeout())
    {
    }
    ~LimitScope() { restore(); }

    void cap(qint64 ms)
    {
        const auto capped
            = [ms](int limit) { return int(limit > 0 ? qMin<qint64>(limit, ms) : ms); };
        provider->setConnectTimeout(capped(connect));
        provider->setReceiveTimeout(capped(receive));
        provider->setSendTimeout(capped(send));
    }

    void restore()
    {
        provider->setConnectTimeout(connect);
        provider->setReceiveTimeout(receive);
        provider->setSendTimeout(send);
    }

private:
    ThriftTransportProvider *provider;
    const int connect;
    const int receive;
    const int send;
};

} // namespace

Settlement::Settlement(VeltaBonusClientThrift &client, OperationJournal &journal)
    : client(client)
    , journal(journal)
    , logger("payment")
{
}

qint64 Settlement::pay(int operation, const CardFlow &flow, AdditionalAssetInfo &info)
{
    const bool payBack = operation != 1;
    const QString transactionId
        = VeltaBonusClientThrift::transactionId(Clock::currentDateTime(), flow.amount);
    const qint64 record = journal.begin(transactionId, client.getTerminalId(), flow.cardNumber,
                                        operation, VeltaBonusClientThrift::toLongLong(flow.amount));

    BonusResult accepted;
    try {
        accepted = payBack ? client.makePayBack(flow, info, transactionId)
                           : client.makePay(flow, info, transactionId);
    } catch (const NoServerAvailable &) {
        journalled("notSent", [&] { journal.settle(record, outcomeNotSent); });
        throw;
    } catch (const BonusServerUnavailable &) {
        // The request may have arrived: void it under the id the till sent.
        reverse(record, transactionId, flow.cardNumber);
        throw;
    } catch (const BonusSystemError &e) {
        journalled("refused", [&] { journal.settle(record, outcomeRefused, textOf(e)); });
        throw;
    } catch (const std::exception &) {
        reverse(record, transactionId, flow.cardNumber);
        throw;
    }

    const QString sessionId = accepted.sessionId.isEmpty() ? transactionId : accepted.sessionId;
    journalled("accepted", [&] { journal.accepted(record, sessionId); });
    commit(record, sessionId, flow);
    return record;
}

void Settlement::journalCommitted(OperationJournal &journal, qint64 record)
{
    journalled(Logger("payment"), "committed", [&] { journal.settle(record, outcomeCommitted); });
}

void Settlement::commit(qint64 record, const QString &sessionId, const CardFlow &flow)
{
    ThriftTransportProvider *provider = client.getProvider();
    LimitScope limits(provider);
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
            reverse(record, sessionId, flow.cardNumber);
            throw;
        } catch (const std::exception &) {
            keepFirst(firstError);
        }
        // The retries share one receive limit, counted from the first failure.
        if (attempt == 0)
            budget.setRemainingTime(qMax(provider->getReceiveTimeout(), 1));
    }

    limits.restore();
    logger.error(
        QStringLiteral("Подтверждение транзакции %1 не получено, она отменяется").arg(sessionId));
    reverse(record, sessionId, flow.cardNumber);
    std::rethrow_exception(firstError);
}

bool Settlement::reverse(qint64 record, const QString &id, const QString &cardNumber)
{
    QString failure;
    try {
        client.rollback(id, cardNumber);
        logger.info(QStringLiteral("Транзакция %1 отменена").arg(id));
        journalled("rolledBack", [&] { journal.settle(record, outcomeRolledBack); });
        return true;
    } catch (const BonusServerUnavailable &e) {
        failure = textOf(e);
    } catch (const NoServerAvailable &e) {
        failure = textOf(e);
    } catch (const BonusSystemError &e) {
        // A definite answer: the server holds nothing of it any more.
        logger.info(QStringLiteral("Отмена транзакции %1 отклонена: %2").arg(id, textOf(e)));
        journalled("rollbackRefused",
                   [&] { journal.settle(record, outcomeRollbackRefused, textOf(e)); });
        return true;
    } catch (const std::exception &e) {
        failure = textOf(e);
    }
    logger.error(QStringLiteral("Отмена транзакции %1 не выполнена, она будет повторена: %2")
                     .arg(id, failure));
    journalled("reversalFailed", [&] { journal.reversalFailed(record, failure); });
    return false;
}

Settlement::Pass Settlement::settle(int budgetMs)
{
    Pass pass;
    const QList<OperationJournal::Record> records = journal.unsettled();
    if (records.isEmpty())
        return pass;

    LimitScope limits(client.getProvider());
    const QString terminal = client.getTerminalId();
    QDeadlineTimer deadline(budgetMs > 0 ? qint64(budgetMs) : qint64(-1));
    for (const OperationJournal::Record &record : records) {
        OperationJournal::Record now = record;
        if (budgetMs > 0) {
            const qint64 left = deadline.remainingTime();
            if (left == 0) {
                pass.unsettled << now;
                continue;
            }
            limits.cap(left);
        }
        logger.info(QStringLiteral("Отмена незавершённой транзакции %1: карта %2, сумма %3, "
                                   "попыток %4")
                        .arg(record.reversalId(), record.cardNumber, QString::number(record.amount),
                             QString::number(record.attempts)));
        // The terminal that made it, whatever the settings say today.
        client.setTerminalId(record.terminalId);
        const bool settled = reverse(record.id, record.reversalId(), record.cardNumber);
        journalled("reread", [&] { now = journal.record(record.id); });
        (settled ? pass.settled : pass.unsettled) << now;
    }
    client.setTerminalId(terminal);
    return pass;
}

void Settlement::journalled(const char *what, const std::function<void()> &write)
{
    journalled(logger, what, write);
}

void Settlement::journalled(const Logger &logger, const char *what,
                            const std::function<void()> &write)
{
    try {
        write();
    } catch (const OperationJournal::Error &e) {
        // Money has moved by now; the run goes on and says so in the log.
        logger.error(QStringLiteral("Ошибка журнала операций (%1): %2")
                         .arg(QLatin1String(what), QString::fromUtf8(e.what())));
    }
}
