#ifndef PAYMENTHOST_H
#define PAYMENTHOST_H

#include "AbstractPaymentProcessing.h"
#include "HostCommand.h"

#include <QByteArray>
#include <QObject>
#include <QPluginLoader>

class QSocketNotifier;

/*!
    Does what the till does: loads the plug-in, casts it by the interface
    id, writes the receipt image before a sale, refund or cancel, calls one
    operation and prints the answer with each print image. recover and
    check reach methods of the plug-in object through Qt's meta-object
    system, so the till's interface stays as it is.
*/
class PaymentHost : public QObject
{
    Q_OBJECT

public:
    enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

    // defaultPlugin: the plug-in to load when the command names none.
    explicit PaymentHost(const QString &defaultPlugin, QObject *parent = nullptr);

    // Runs the command line's command and answers the exit code. In '-'
    // mode it runs the event loop until standard input ends, with the code
    // of the last command.
    int run(const HostCommand &command);

private slots:
    void readAvailable();

private:
    bool load(const QString &path);
    int execute(const HostCommand &command);
    int executePayment(const HostCommand &command);
    int executeReport(const HostCommand &command);
    void executeLine(const QByteArray &line);
    void writeReceipt(const HostCommand &command);
    void printAnswer(const PaymentProcessingAnswer &answer, bool json);
    void printVersion(const QString &pluginPath, bool json);
    int fail(int code, const QString &reason, bool json);

    QString defaultPlugin;
    QPluginLoader loader;
    QObject *instance = nullptr;
    AbstractPaymentProcessing *plugin = nullptr;
    QString loadError;
    QSocketNotifier *notifier = nullptr;
    QByteArray pending;
    bool defaultJson = false;
    int lastCode = Success;
};

#endif // PAYMENTHOST_H
