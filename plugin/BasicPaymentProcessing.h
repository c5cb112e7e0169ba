#ifndef BASICPAYMENTPROCESSING_H
#define BASICPAYMENTPROCESSING_H

#include "AbstractPaymentProcessing.h"

#include <ctime>

/*!
    Base for payment plug-ins: every operation answers that it is
    unavailable, option flags are kept, and a plug-in can pace its
    operations with waitBeforeNextOperation().
*/
class BasicPaymentProcessing : public AbstractPaymentProcessing
{
public:
    BasicPaymentProcessing() = default;

    bool isPaymentEnable(EPaymentProcessingRequest::Type type) const override;
    bool isCancelEnable(EPaymentProcessingRequest::Type type) const override;
    bool isCheckTotalsEnable() const override;
    bool isUsePaymentAsDiscount() const override;
    PaymentProcessingAnswer payment(const PaymentProcessingRequest &request) override;
    PaymentProcessingAnswer change(const PaymentProcessingRequest &request) override;
    PaymentProcessingAnswer cancel(const PaymentProcessingRequest &request) override;
    PaymentProcessingAnswer checkTotals(int number) override;
    PaymentProcessingAnswer checkTotalsByMerchantId(const QString &merchantId) override;
    PaymentProcessingAnswer printCopy(int number) override;
    PaymentProcessingAnswer printReport() override;
    PaymentProcessingAnswer printReportByMerchantId(const QString &merchantId) override;
    PaymentProcessingAnswer printShortReport() override;
    PaymentProcessingAnswer balance(const QString &cardNumber) override;
    PaymentProcessingAnswer discountCard() override;
    bool checkOption(EPaymentProcessingOption::Option option) const override;
    void setOption(EPaymentProcessingOption::Option option, bool enable) override;
    void cancelCardRequest() override;

    PaymentProcessingAnswer makeResult(const QString &message);
    void setLastOperationTime();
    // Blocks until `seconds` have passed since the last recorded operation.
    void waitBeforeNextOperation(int seconds) const;

private:
    PaymentProcessingOptions options;
    timespec lastOperationTime = {0, 0};
};

// Lets Qt's casting answer "BasicPaymentProcessing" and the interface id
// with this part of a plug-in object; AbstractPaymentProcessing starts it.
Q_DECLARE_INTERFACE(BasicPaymentProcessing, PaymentProcessingInterface_iid)

#endif // BASICPAYMENTPROCESSING_H
