#ifndef HOSTCOMMAND_H
#define HOSTCOMMAND_H

#include <QString>
#include <QStringList>

/*!
    One command of payment-host, parsed from its arguments:
        balance CARD
        sale|refund|cancel AMOUNT_KOPECKS CARD [--receipt N] [--cash-code C]
                                               [--cashier-code K] [--no-receipt]
    optionally preceded by --json (and, on the command line, --plugin PATH).
*/
class HostCommand
{
public:
    enum Kind { Invalid, Balance, Sale, Refund, Cancel, ReadStdin };

    // On failure kind is Invalid and error holds a one-line reason.
    static HostCommand parse(const QStringList &arguments, bool allowPlugin);

    Kind kind = Invalid;
    QString error;
    QString pluginPath;
    bool json = false;
    qint32 amount = 0;
    QString cardNumber;
    int receiptNumber = 1;
    QString cashCode = QStringLiteral("1");
    QString cashierCode = QStringLiteral("1");
    bool writeReceipt = true;
};

#endif // HOSTCOMMAND_H
