#include "HostCommand.h"

namespace {

HostCommand failure(const QString &reason)
{
    HostCommand command;
    command.error = reason;
    return command;
}

} // namespace

HostCommand HostCommand::parse(const QStringList &arguments, bool allowPlugin)
{
    HostCommand command;
    int i = 0;
    for (; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--json")) {
            command.json = true;
        } else if (argument == QLatin1String("--plugin")) {
            if (!allowPlugin)
                return failure(QStringLiteral("--plugin is only accepted on the command line"));
            if (++i >= arguments.size())
                return failure(QStringLiteral("--plugin needs a path"));
            command.pluginPath = arguments.at(i);
        } else {
            break;
        }
    }
    if (i >= arguments.size())
        return failure(QStringLiteral("no command given (balance, sale, refund, cancel or -)"));

    const QString verb = arguments.at(i++);
    const QStringList rest = arguments.mid(i);

    if (verb == QLatin1String("-")) {
        if (!allowPlugin)
            return failure(QStringLiteral("'-' is only accepted on the command line"));
        if (!rest.isEmpty())
            return failure(QStringLiteral("'-' takes no arguments"));
        command.kind = ReadStdin;
        return command;
    }

    if (verb == QLatin1String("balance")) {
        if (rest.size() != 1)
            return failure(QStringLiteral("balance takes exactly one argument: CARD"));
        command.kind = Balance;
        command.cardNumber = rest.first();
        return command;
    }

    if (verb == QLatin1String("sale"))
        command.kind = Sale;
    else if (verb == QLatin1String("refund"))
        command.kind = Refund;
    else if (verb == QLatin1String("cancel"))
        command.kind = Cancel;
    else
        return failure(QStringLiteral("unknown command '%1'").arg(verb));

    if (rest.size() < 2)
        return failure(QStringLiteral("%1 needs AMOUNT_KOPECKS and CARD").arg(verb));

    bool ok = false;
    command.amount = rest.at(0).toInt(&ok);
    if (!ok)
        return failure(
            QStringLiteral("amount '%1' is not a 32-bit integer of kopecks").arg(rest.at(0)));
    command.cardNumber = rest.at(1);

    for (int j = 2; j < rest.size(); ++j) {
        const QString &option = rest.at(j);
        if (option == QLatin1String("--no-receipt")) {
            command.writeReceipt = false;
            continue;
        }
        if (option != QLatin1String("--receipt") && option != QLatin1String("--cash-code")
            && option != QLatin1String("--cashier-code"))
            return failure(QStringLiteral("unknown option '%1'").arg(option));
        if (++j >= rest.size())
            return failure(QStringLiteral("%1 needs a value").arg(option));
        const QString &value = rest.at(j);
        if (option == QLatin1String("--receipt")) {
            command.receiptNumber = value.toInt(&ok);
            if (!ok)
                return failure(QStringLiteral("receipt number '%1' is not an integer").arg(value));
        } else if (option == QLatin1String("--cash-code")) {
            command.cashCode = value;
        } else {
            command.cashierCode = value;
        }
    }
    return command;
}
