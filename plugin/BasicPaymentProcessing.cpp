#include "BasicPaymentProcessing.h"

#include <cerrno>

bool BasicPaymentProcessing::isPaymentEnable(EPaymentProcessingRequest::Type) const
{
    return false;
}

bool BasicPaymentProcessing::isCancelEnable(EPaymentProcessingRequest::Type) const
{
    return false;
}

bool BasicPaymentProcessing::isCheckTotalsEnable() const
{
    return false;
}

bool BasicPaymentProcessing::isUsePaymentAsDiscount() const
{
    return false;
}

PaymentProcessingAnswer BasicPaymentProcessing::payment(const PaymentProcessingRequest &)
{
    return makeResult(QStringLiteral("Операция оплаты недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::change(const PaymentProcessingRequest &)
{
    return makeResult(QStringLiteral("Операция сдачи недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::cancel(const PaymentProcessingRequest &)
{
    return makeResult(QStringLiteral("Операция отмены недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::checkTotals(int)
{
    return makeResult(QStringLiteral("Операция печати короткого отчета недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::checkTotalsByMerchantId(const QString &)
{
    return makeResult(QStringLiteral("Операция сверки итогов для юр. лица недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::printCopy(int)
{
    return makeResult(QStringLiteral("Операция печати копии недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::printReport()
{
    return makeResult(QStringLiteral("Операция печати полного отчета недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::printReportByMerchantId(const QString &)
{
    return makeResult(QStringLiteral("Операция печати полного отчета для юр. лица недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::printShortReport()
{
    return makeResult(QStringLiteral("Операция печати короткого отчета недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::balance(const QString &)
{
    return makeResult(QStringLiteral("Операция запроса баланса недоступна!"));
}

PaymentProcessingAnswer BasicPaymentProcessing::discountCard()
{
    return makeResult(QStringLiteral("Операция получения скидочной карты недоступна!"));
}

bool BasicPaymentProcessing::checkOption(EPaymentProcessingOption::Option option) const
{
    return options.testFlag(option);
}

void BasicPaymentProcessing::setOption(EPaymentProcessingOption::Option option, bool enable)
{
    if (enable)
        options |= option;
    else if (options.testFlag(option))
        options ^= option;
}

void BasicPaymentProcessing::cancelCardRequest() { }

PaymentProcessingAnswer BasicPaymentProcessing::makeResult(const QString &message)
{
    PaymentProcessingAnswer answer;
    answer.setMessage(message);
    return answer;
}

void BasicPaymentProcessing::setLastOperationTime()
{
    clock_gettime(CLOCK_MONOTONIC, &lastOperationTime);
}

void BasicPaymentProcessing::waitBeforeNextOperation(int seconds) const
{
    if (seconds <= 0 || lastOperationTime.tv_sec <= 0)
        return;

    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);

    // 64-bit throughout: a spacing beyond 2147 seconds must not wrap.
    const qint64 remaining = qint64(lastOperationTime.tv_sec) + seconds - qint64(now.tv_sec);
    if (remaining < 0)
        return;
    if (remaining == 0 && lastOperationTime.tv_nsec <= now.tv_nsec)
        return;

    const qint64 micro
        = remaining * 1000000 + (qint64(lastOperationTime.tv_nsec) - qint64(now.tv_nsec)) / 1000;
    if (micro == 0)
        return;

    timespec wait = {time_t(micro / 1000000), long(micro % 1000000) * 1000};
    while (nanosleep(&wait, &wait) == -1 && errno == EINTR) { }
}
