#include "SimOptions.h"

#include "UsageError.h"

#include <QSet>

namespace {

[[noreturn]] void refuse(const QString &reason)
{
    throw UsageError(reason.toStdString());
}

} // namespace

SimOptions SimOptions::parse(const QStringList &arguments)
{
    SimOptions options;
    bool haveListen = false;
    QSet<QString> cardNumbers;

    // arguments[0] is the program itself.
    for (int i = 1; i < arguments.size(); ++i) {
        const QString option = arguments.at(i);
        if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
            options.helpRequested = true;
            return options;
        }

        QString value;
        const int equals = option.indexOf(QLatin1Char('='));
        QString name = option;
        if (option.startsWith(QLatin1String("--")) && equals > 0) {
            // --db=FILE as well as --db FILE
            name = option.left(equals);
            value = option.mid(equals + 1);
        } else if (option.startsWith(QLatin1String("--"))) {
            if (i + 1 >= arguments.size())
                refuse(QStringLiteral("option %1 needs a value").arg(option));
            value = arguments.at(++i);
        } else {
            refuse(QStringLiteral("unexpected argument '%1'").arg(option));
        }

        if (name == QLatin1String("--listen")) {
            parseListen(value, options);
            haveListen = true;
        } else if (name == QLatin1String("--db")) {
            if (value.isEmpty())
                refuse(QStringLiteral("--db needs a file name"));
            options.dbPath = value;
        } else if (name == QLatin1String("--card")) {
            const CardSeed card = parseCard(value);
            if (cardNumbers.contains(card.number))
                refuse(QStringLiteral("card %1 is given twice").arg(card.number));
            cardNumbers.insert(card.number);
            options.cards.append(card);
        } else if (name == QLatin1String("--terminal")) {
            if (value.isEmpty())
                refuse(QStringLiteral("--terminal needs an identifier"));
            if (!options.terminals.contains(value))
                options.terminals.append(value);
        } else {
            refuse(QStringLiteral("unknown option %1").arg(name));
        }
    }

    if (!haveListen)
        refuse(QStringLiteral("--listen HOST:PORT is required"));
    if (options.dbPath.isEmpty())
        refuse(QStringLiteral("--db FILE is required"));
    return options;
}

QString SimOptions::usage()
{
    return QStringLiteral("usage: accounting-sim --listen HOST:PORT --db FILE"
                          " [--card NUMBER=KOPECKS[:INACTIVE] ...] [--terminal ID ...]");
}

void SimOptions::parseListen(const QString &value, SimOptions &options)
{
    const int colon = value.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        refuse(QStringLiteral("--listen wants HOST:PORT, got '%1'").arg(value));
    const QString portText = value.mid(colon + 1);
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port > 65535 || portText.startsWith(QLatin1Char('+')))
        refuse(QStringLiteral("--listen: bad port '%1'").arg(portText));
    QString host = value.left(colon);
    // [::1]:PORT for an IPv6 address
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty())
        refuse(QStringLiteral("--listen wants HOST:PORT, got '%1'").arg(value));
    options.listenHost = host;
    options.listenPort = quint16(port);
}

SimOptions::CardSeed SimOptions::parseCard(const QString &value)
{
    const int equals = value.indexOf(QLatin1Char('='));
    if (equals <= 0)
        refuse(QStringLiteral("--card wants NUMBER=KOPECKS[:INACTIVE], got '%1'").arg(value));

    CardSeed card;
    card.number = value.left(equals);
    const QString amounts = value.mid(equals + 1);
    const int colon = amounts.indexOf(QLatin1Char(':'));
    if (colon < 0) {
        card.balance = parseKopecks(amounts, value);
    } else {
        card.balance = parseKopecks(amounts.left(colon), value);
        card.balanceInactive = parseKopecks(amounts.mid(colon + 1), value);
    }
    return card;
}

qint64 SimOptions::parseKopecks(const QString &text, const QString &option)
{
    bool ok = false;
    const qint64 kopecks = text.toLongLong(&ok);
    // Digits only: "1e3", "+5" or "12.50" are more likely a mistake than a wish.
    bool digits = !text.isEmpty();
    for (const QChar c : text)
        digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (!ok || !digits || kopecks < 0)
        refuse(QStringLiteral("--card %1: amounts are whole kopecks, 0 or more").arg(option));
    return kopecks;
}
