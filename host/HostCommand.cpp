#include "HostCommand.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QProcess>
#include <QRegularExpression>

namespace {

const char programName[] = "payment-host";

// Every option, so parsing and --help describe the same set.
struct Options
{
    explicit Options(const QString &defaultPlugin)
        : defaultPlugin(defaultPlugin)
    {
    }

    QString defaultPlugin;
    QCommandLineOption plugin {QStringLiteral("plugin"),
                               QStringLiteral("Load the plug-in from <path>."),
                               QStringLiteral("path")};
    QCommandLineOption json {QStringLiteral("json"),
                             QStringLiteral("Answer with one JSON line per command, errors "
                                            "included.")};
    QCommandLineOption receipt {QStringLiteral("receipt"),
                                QStringLiteral("Receipt number written into the receipt image "
                                               "(default: 1)."),
                                QStringLiteral("N")};
    QCommandLineOption cashCode {QStringLiteral("cash-code"),
                                 QStringLiteral("Cash desk code in the receipt image "
                                                "(default: 1)."),
                                 QStringLiteral("C")};
    QCommandLineOption cashierCode {QStringLiteral("cashier-code"),
                                    QStringLiteral("Cashier code in the receipt image; the "
                                                   "cashier must be in the till's database "
                                                   "(default: 1)."),
                                    QStringLiteral("K")};
    QCommandLineOption noReceipt {QStringLiteral("no-receipt"),
                                  QStringLiteral("Leave the receipt image as it is.")};
    QCommandLineOption card {QStringLiteral("card"),
                             QStringLiteral("check: also look this card up and ask its "
                                            "balance."),
                             QStringLiteral("N")};
    QCommandLineOption forget {QStringLiteral("forget"),
                               QStringLiteral("recover: first close the journal record <ID> by "
                                              "hand, without a reversal (logged)."),
                               QStringLiteral("ID")};
    QCommandLineOption full {QStringLiteral("full"),
                             QStringLiteral("recover, check: show card numbers whole "
                                            "(masked otherwise: 20*******6789).")};
    QCommandLineOption resetJournal {QStringLiteral("reset-journal"),
                                     QStringLiteral("recover: move a damaged journal aside and "
                                                    "start a new one.")};

    void addTo(QCommandLineParser &parser)
    {
        parser.setApplicationDescription(
            QStringLiteral(
                "Loads the payment plug-in as the till does and runs one command:\n"
                "  balance CARD\n"
                "  sale|refund|cancel AMOUNT_KOPECKS CARD [--cashier-code K] [--receipt N]\n"
                "                     [--cash-code C] [--no-receipt]\n"
                "                      AMOUNT_KOPECKS above 0; K names a cashier in the till's\n"
                "                      database, for the slip (1 when not given)\n"
                "  recover [--forget ID | --reset-journal] [--full]\n"
                "                      settle what earlier runs left unsettled\n"
                "  check [--card N] [--full]\n"
                "                      check the till's set-up; moves no money\n"
                "  -                   read one command a line from standard input\n"
                "Exit status: 0 success, 1 failure, 2 usage error.\n"
                "The plug-in, unless --plugin names another:\n  ")
            + defaultPlugin);
        parser.addPositionalArgument(QStringLiteral("command"),
                                     QStringLiteral("The command and its arguments."),
                                     QStringLiteral("command [arguments]"));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOptions({plugin, json, receipt, cashCode, cashierCode, noReceipt, card, forget,
                           resetJournal, full});
    }
};

HostCommand failure(const HostCommand &parsed, const QString &reason)
{
    HostCommand command;
    command.json = parsed.json;
    command.error = reason;
    return command;
}

// QCommandLineParser reads "-100" as the short options 1, 0, 0.
QString negativeNumberIn(const QStringList &arguments)
{
    static const QRegularExpression negative(QStringLiteral("^-[0-9]+$"));
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--"))
            break;
        if (negative.match(argument).hasMatch())
            return argument;
    }
    return QString();
}

// The first of the given options that is set, as "--name".
QString foreignOption(const QCommandLineParser &parser, const QList<QCommandLineOption> &foreign)
{
    for (const QCommandLineOption &option : foreign) {
        if (parser.isSet(option))
            return QStringLiteral("--") + option.names().constFirst();
    }
    return QString();
}

// One parser for every line a host reads: setting it up costs more than
// parsing a line, and each parse() starts from a clean slate.
struct LineParser
{
    LineParser() { options.addTo(parser); }

    Options options {QString()};
    QCommandLineParser parser;
};

} // namespace

HostCommand HostCommand::parseLine(const QString &line)
{
    return parse(QProcess::splitCommand(line), InputLine);
}

HostCommand HostCommand::parse(const QStringList &arguments, Origin origin)
{
    static thread_local LineParser lineParser;
    const Options &options = lineParser.options;
    QCommandLineParser &parser = lineParser.parser;

    HostCommand command;
    const bool parsed = parser.parse(QStringList {QLatin1String(programName)} + arguments);
    command.json = parser.isSet(options.json);
    if (!parsed) {
        const QString negative = negativeNumberIn(arguments);
        if (!negative.isEmpty())
            return failure(command,
                           QStringLiteral("'%1' reads as an option; a negative number "
                                          "goes after --")
                               .arg(negative));
        return failure(command, parser.errorText());
    }

    if (origin == InputLine) {
        const QString option
            = foreignOption(parser,
                            {QCommandLineOption(QStringLiteral("help")),
                             QCommandLineOption(QStringLiteral("version")), options.plugin});
        if (!option.isEmpty())
            return failure(command,
                           QStringLiteral("%1 is only accepted on the command line").arg(option));
    }
    if (parser.isSet(QStringLiteral("help"))) {
        command.kind = Help;
        return command;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        command.kind = Version;
        command.pluginPath = parser.value(options.plugin);
        return command;
    }
    command.pluginPath = parser.value(options.plugin);

    QStringList rest = parser.positionalArguments();
    if (rest.isEmpty())
        return failure(command,
                       QStringLiteral("no command given (balance, sale, refund, "
                                      "cancel, recover, check or -)"));
    const QString verb = rest.takeFirst();
    const QList<QCommandLineOption> paymentOptions
        = {options.receipt, options.cashCode, options.cashierCode, options.noReceipt};

    if (verb == QLatin1String("-") || verb == QLatin1String("balance")
        || verb == QLatin1String("recover") || verb == QLatin1String("check")) {
        const QString option = foreignOption(parser, paymentOptions);
        if (!option.isEmpty())
            return failure(command, QStringLiteral("%1 is not an option of %2").arg(option, verb));
    }
    if (verb != QLatin1String("check") && verb != QLatin1String("recover")
        && parser.isSet(options.full))
        return failure(command, QStringLiteral("--full is an option of recover and check only"));
    if (verb != QLatin1String("check") && parser.isSet(options.card))
        return failure(command, QStringLiteral("--card is an option of check only"));
    if (verb != QLatin1String("recover")) {
        const QString option = foreignOption(parser, {options.forget, options.resetJournal});
        if (!option.isEmpty())
            return failure(command, QStringLiteral("%1 is an option of recover only").arg(option));
    }

    if (verb == QLatin1String("-")) {
        if (origin == InputLine)
            return failure(command, QStringLiteral("'-' is only accepted on the command line"));
        if (!rest.isEmpty())
            return failure(command, QStringLiteral("'-' takes no arguments"));
        command.kind = ReadStdin;
        return command;
    }
    if (verb == QLatin1String("balance")) {
        if (rest.size() != 1)
            return failure(command, QStringLiteral("balance takes exactly one argument: CARD"));
        command.kind = Balance;
        command.cardNumber = rest.first();
        return command;
    }
    if (verb == QLatin1String("recover") || verb == QLatin1String("check")) {
        if (!rest.isEmpty())
            return failure(command, QStringLiteral("%1 takes no arguments").arg(verb));
        command.kind = verb == QLatin1String("recover") ? Recover : Check;
        command.cardNumber = parser.value(options.card);
        command.resetJournal = parser.isSet(options.resetJournal);
        command.fullCardNumbers = parser.isSet(options.full);
        if (parser.isSet(options.forget)) {
            bool ok = false;
            command.forgetId = parser.value(options.forget).toLongLong(&ok);
            if (!ok || command.forgetId <= 0)
                return failure(command,
                               QStringLiteral("--forget takes a journal record's id, "
                                              "not '%1'")
                                   .arg(parser.value(options.forget)));
            if (command.resetJournal)
                return failure(command,
                               QStringLiteral("--forget and --reset-journal go one at a time"));
        }
        return command;
    }

    if (verb == QLatin1String("sale"))
        command.kind = Sale;
    else if (verb == QLatin1String("refund"))
        command.kind = Refund;
    else if (verb == QLatin1String("cancel"))
        command.kind = Cancel;
    else
        return failure(command, QStringLiteral("unknown command '%1'").arg(verb));

    if (rest.size() != 2)
        return failure(command, QStringLiteral("%1 takes AMOUNT_KOPECKS and CARD").arg(verb));
    bool ok = false;
    command.amount = rest.at(0).toInt(&ok);
    if (!ok)
        return failure(
            command,
            QStringLiteral("amount '%1' is not a 32-bit integer of kopecks").arg(rest.at(0)));
    // The plug-in would answer a payment of nothing with empty slips; say so
    // here instead.
    if (command.amount <= 0)
        return failure(
            command,
            QStringLiteral("amount '%1' is not a positive number of kopecks").arg(rest.at(0)));
    command.cardNumber = rest.at(1);

    if (parser.isSet(options.receipt)) {
        const QString value = parser.value(options.receipt);
        command.receiptNumber = value.toInt(&ok);
        if (!ok)
            return failure(command,
                           QStringLiteral("receipt number '%1' is not an integer").arg(value));
    }
    if (parser.isSet(options.cashCode))
        command.cashCode = parser.value(options.cashCode);
    if (parser.isSet(options.cashierCode))
        command.cashierCode = parser.value(options.cashierCode);
    command.writeReceipt = !parser.isSet(options.noReceipt);
    return command;
}

QString HostCommand::helpText(const QString &defaultPlugin)
{
    Options options {defaultPlugin};
    QCommandLineParser parser;
    options.addTo(parser);
    return parser.helpText();
}
