#ifndef ABSTRACTPAYMENTPROCESSING_H
#define ABSTRACTPAYMENTPROCESSING_H

/*
    The payment-processing interface shared by the till and its payment
    plug-ins. The till builds against this one header; the field order and
    types of the records are part of the contract with it.
*/

#include <QFlags>
#include <QString>
#include <QStringList>
#include <QtPlugin>

namespace EPaymentProcessingRequest {
enum Type { Undefined = 0, Sale = 1, Refund = 2 };
} // namespace EPaymentProcessingRequest

namespace EPaymentProcessingOption {
enum Option { NoOption = 0, Enabled = 1 };
} // namespace EPaymentProcessingOption

Q_DECLARE_FLAGS(PaymentProcessingOptions, EPaymentProcessingOption::Option)
Q_DECLARE_OPERATORS_FOR_FLAGS(PaymentProcessingOptions)

/*!
    What the till asks for. Plain public fields; the till fills them.
*/
struct PaymentProcessingRequest
{
    EPaymentProcessingRequest::Type type = EPaymentProcessingRequest::Undefined;
    qint32 amount = 0; // kopecks
    QString cardNumber;
};

/*!
    What every operation answers. A fresh answer is a failure with code 0 and
    no message. The fields the plug-ins leave alone belong to the till.
*/
class PaymentProcessingAnswer
{
public:
    PaymentProcessingAnswer() = default;
    PaymentProcessingAnswer(const PaymentProcessingAnswer &) = default;
    PaymentProcessingAnswer &operator=(const PaymentProcessingAnswer &) = default;
    virtual ~PaymentProcessingAnswer() = default;

    void setCode(int value) { code = value; }
    int getCode() const { return code; }

    void setMessage(const QString &value) { message = value; }
    QString getMessage() const { return message; }

    void setSuccess(bool success) { result = success ? 0 : 1; }
    bool isSuccess() const { return result == 0; }

    void setPrintImages(const QStringList &value) { printImages = value; }
    QStringList getPrintImages() const { return printImages; }

    void setCardNumber(const QString &value) { cardNumber = value; }
    QString getCardNumber() const { return cardNumber; }

private:
    // Hosts compile against this layout; the fields marked unused are part of
    // it, though no plug-in operation fills them.
    int code = 0;
    QString message;
    int result = 1; // 0 success, 1 failure
    QStringList printImages;
    [[maybe_unused]] int operationNumber = 0;
    QString authorizationCode;
    QString cardNumber;
    QString referenceNumber;
    QString merchantId;
    [[maybe_unused]] double discountAmount = 0.0;
    QString discountCard;
    [[maybe_unused]] double bonusAmount = 0.0;
    QString slipNumber;
    QString transactionId;
    [[maybe_unused]] int hostStatus = 0;
};

/*!
    The interface a payment plug-in offers the till. Every operation runs
    synchronously on the till's thread and never throws.
*/
class AbstractPaymentProcessing
{
public:
    virtual ~AbstractPaymentProcessing() = default;

    virtual bool isPaymentEnable(EPaymentProcessingRequest::Type type) const = 0;
    virtual bool isCancelEnable(EPaymentProcessingRequest::Type type) const = 0;
    virtual bool isCheckTotalsEnable() const = 0;
    virtual bool isUsePaymentAsDiscount() const = 0;
    virtual PaymentProcessingAnswer payment(const PaymentProcessingRequest &request) = 0;
    virtual PaymentProcessingAnswer change(const PaymentProcessingRequest &request) = 0;
    virtual PaymentProcessingAnswer cancel(const PaymentProcessingRequest &request) = 0;
    virtual PaymentProcessingAnswer checkTotals(int number) = 0;
    virtual PaymentProcessingAnswer checkTotalsByMerchantId(const QString &merchantId) = 0;
    virtual PaymentProcessingAnswer printCopy(int number) = 0;
    virtual PaymentProcessingAnswer printReport() = 0;
    virtual PaymentProcessingAnswer printReportByMerchantId(const QString &merchantId) = 0;
    virtual PaymentProcessingAnswer printShortReport() = 0;
    virtual PaymentProcessingAnswer balance(const QString &cardNumber) = 0;
    virtual PaymentProcessingAnswer discountCard() = 0;
    virtual bool checkOption(EPaymentProcessingOption::Option option) const = 0;
    virtual void setOption(EPaymentProcessingOption::Option option, bool enable) = 0;
    virtual void cancelCardRequest() = 0;
};

#define PaymentProcessingInterface_iid "VeltaPaymentProcessing/1.0"

Q_DECLARE_INTERFACE(AbstractPaymentProcessing, PaymentProcessingInterface_iid)

#endif // ABSTRACTPAYMENTPROCESSING_H
