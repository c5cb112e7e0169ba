#ifndef HOSTCOMMAND_H
#define HOSTCOMMAND_H

#include <QString>
#include <QStringList>

/*!
    One command of payment-host, parsed with QCommandLineParser:
        balance CARD
        sale|refund|cancel AMOUNT_KOPECKS CARD [--receipt N] [--cash-code C]
                                               [--cashier-code K] [--no-receipt]
                           (AMOUNT_KOPECKS above 0)
        recover [--forget ID | --reset-journal] [--full]
        check [--card N] [--full]
        -                       (command line only: one command a line from stdin)
    with --json anywhere, and on the command line also --plugin PATH, --help
    and --version.
*/
class HostCommand
{
public:
    enum Kind { Invalid, Help, Version, Balance, Sale, Refund, Cancel, Recover, Check, ReadStdin };
    // Where the arguments come from: a line read in '-' mode may not switch
    // the plug-in, ask for help or start another '-'.
    enum Origin { CommandLine, InputLine };

    // arguments without the program name. On failure kind is Invalid and
    // error holds a one-line reason; json is still set if --json was given.
    static HostCommand parse(const QStringList &arguments, Origin origin);
    // One line read in '-' mode: its words split as a shell splits them.
    static HostCommand parseLine(const QString &line);

    // The text of --help; defaultPlugin is shown as --plugin's default.
    static QString helpText(const QString &defaultPlugin);

    Kind kind = Invalid;
    QString error;
    QString pluginPath;
    bool json = false;
    qint32 amount = 0;
    // The card of balance, sale, refund and cancel; check's --card.
    QString cardNumber;
    int receiptNumber = 1;
    QString cashCode = QStringLiteral("1");
    QString cashierCode = QStringLiteral("1");
    bool writeReceipt = true;
    // recover: the journal record to close by hand (0: none), or the
    // damaged journal to move aside.
    qint64 forgetId = 0;
    bool resetJournal = false;
    // recover and check: card numbers whole rather than masked.
    bool fullCardNumbers = false;
};

#endif // HOSTCOMMAND_H
