#include "PluginHandle.h"

#include <QtGlobal>

QString PluginHandle::libraryPath()
{
    return qEnvironmentVariable("BONUS_PLUGIN_PATH");
}

PluginHandle::PluginHandle()
    : loader(libraryPath())
{
}

QObject *PluginHandle::instance() const
{
    return loader.instance();
}

AbstractPaymentProcessing *PluginHandle::plugin() const
{
    return qobject_cast<AbstractPaymentProcessing *>(loader.instance());
}

QString PluginHandle::errorString() const
{
    return loader.errorString();
}

static PaymentProcessingRequest request(EPaymentProcessingRequest::Type type, int amount,
                                        const QString &cardNumber)
{
    PaymentProcessingRequest r;
    r.type = type;
    r.amount = amount;
    r.cardNumber = cardNumber;
    return r;
}

PaymentProcessingAnswer PluginHandle::sale(int amount, const QString &cardNumber) const
{
    return plugin()->payment(request(EPaymentProcessingRequest::Sale, amount, cardNumber));
}

PaymentProcessingAnswer PluginHandle::refund(int amount, const QString &cardNumber) const
{
    return plugin()->payment(request(EPaymentProcessingRequest::Refund, amount, cardNumber));
}

PaymentProcessingAnswer PluginHandle::cancel(int amount, const QString &cardNumber) const
{
    return plugin()->cancel(request(EPaymentProcessingRequest::Sale, amount, cardNumber));
}

PaymentProcessingAnswer PluginHandle::balance(const QString &cardNumber) const
{
    return plugin()->balance(cardNumber);
}
