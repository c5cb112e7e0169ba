#ifndef PLUGINHANDLE_H
#define PLUGINHANDLE_H

#include "AbstractPaymentProcessing.h"

#include <QPluginLoader>

/*!
    The plug-in loaded as the till loads it: QPluginLoader on the built
    library (BONUS_PLUGIN_PATH), cast by the interface id.
*/
class PluginHandle
{
public:
    PluginHandle();

    AbstractPaymentProcessing *plugin() const;
    QObject *instance() const;
    QString errorString() const;

    PaymentProcessingAnswer sale(int amount, const QString &cardNumber) const;
    PaymentProcessingAnswer refund(int amount, const QString &cardNumber) const;
    PaymentProcessingAnswer cancel(int amount, const QString &cardNumber) const;
    PaymentProcessingAnswer balance(const QString &cardNumber) const;

    static QString libraryPath();

private:
    mutable QPluginLoader loader;
};

#endif // PLUGINHANDLE_H
