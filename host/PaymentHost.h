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
    operation and prints the answer with each print image.
*/
class PaymentHost : public QObject
{
    Q_OBJECT

public:
    enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

    explicit PaymentHost(QObject *parent = nullptr);

    // Where the plug-in is when no --plugin is given: beside the build's
    // payment-host, or where the install put it.
    static QString defaultPluginPath();

    bool load(const QString &path);
    QString loadError() const;

    // Runs one command; answers its exit code.
    int execute(const HostCommand &command);

    // Reads commands from standard input, one a line, while the event loop
    // runs; quits the application with the code of the last one.
    void readCommands(bool json);

private slots:
    void readAvailable();

private:
    void executeLine(const QByteArray &line);
    void writeReceipt(const HostCommand &command);
    void printAnswer(const PaymentProcessingAnswer &answer, bool json);

    QPluginLoader loader;
    AbstractPaymentProcessing *plugin = nullptr;
    QString error;
    QSocketNotifier *notifier = nullptr;
    QByteArray pending;
    bool defaultJson = false;
    int lastCode = Success;
};

#endif // PAYMENTHOST_H
