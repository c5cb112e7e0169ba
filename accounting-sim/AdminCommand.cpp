#include "AdminCommand.h"

#include "AccountingAdminLogicService.h"
#include "AccountingLogicService.h"
#include "Console.h"
#include "UsageError.h"

#include <thrift/TApplicationException.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TSSLSocket.h>
#include <thrift/transport/TSocket.h>
#include <thrift/transport/TTransportException.h>

#include <QCommandLineParser>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUuid>

using namespace accounting::logic::thriftapi;
using apache::thrift::TException;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TSSLSocketFactory;

namespace {

// Pages of lists the command asks for when none is given.
constexpr int defaultPageSize = 100;
// An administrative call may make a snapshot of every card: more than a
// till's call, less than for ever.
constexpr int receiveTimeoutMs = 60000;
constexpr int connectTimeoutMs = 5000;

const char *helpText = R"(Usage: accounting-sim admin [options] COMMAND [ARGUMENTS]
The administrative service of a running accounting-sim (its --admin-listen).

Commands:
  terminal add ID [--blocked]       register a terminal
  terminal block ID                 refuse every call of the terminal
  terminal activate ID              serve the terminal again
  terminal status ID                ACTIVE, BLOCKED or NOT_FOUND
  card add NUMBER [--status S]      a card with nothing on it (S: active, blocked,
                                    withdrawal, anonymous; default active)
  card show NUMBER                  the card and its status
  card exists NUMBER                exit 0 when the card is on the ledger
  card block|activate|withdraw|anonymous NUMBER
                                    give the card that status
  card count                        how many cards the ledger has
  card list [--page N] [--size N]   cards by number
  card history NUMBER [--pending] [--page N] [--size N] [--sort F] [--desc]
                                    the card's transactions and their changes
                                    (F: id, amount, status, time)
  card groups NUMBER                the bonus groups the card holds bonus in
  card credit NUMBER KOPECKS [--group G] [--from DATE] [--until DATE] [--weight W]
                                    put bonus on the card (add), in group G
                                    spendable from DATE until DATE
  card debit NUMBER KOPECKS [--group G]
                                    take bonus off the card (sub)
  transaction reason SESSION ITEM TEXT
                                    give change ITEM (from 0) of a transaction a reason
  balances snapshot|update|count|list [--page N] [--size N]
                                    the table of every card's balance on a date
  group list [--begins-after DATE] [--ends-before DATE] [--page N] [--size N]
  group change ID [--shift-begin D] [--shift-end D] [--weight W]
                                    move a group's dates by D (500ms, 30s, -15m, 2h, 7d)
  internal list                     what "internal run" can run
  internal run NAME                 run it now

DATE is 2025-06-01 (midnight UTC) or 2025-06-01T12:00:00Z (or with an offset).
Exit status: 0 done, 1 refused or unreachable, 2 a command line that cannot be used.

Options:)";

[[noreturn]] void refuse(const QString &reason)
{
    throw UsageError(reason.toStdString());
}

QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

QString isoTime(qint64 ms)
{
    return ms == 0 ? QStringLiteral("-")
                   : QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

qint64 parseDate(const QString &value, const QString &option)
{
    QDateTime date;
    if (QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d$")).match(value).hasMatch())
        date = QDateTime(QDate::fromString(value, Qt::ISODate), QTime(0, 0), Qt::UTC);
    else if (value.contains(QLatin1Char('T'))
             && (value.endsWith(QLatin1Char('Z'))
                 || QRegularExpression(QStringLiteral("[+-]\\d\\d:?\\d\\d$"))
                        .match(value)
                        .hasMatch()))
        date = QDateTime::fromString(value, Qt::ISODateWithMs);
    if (!date.isValid() || date.toMSecsSinceEpoch() <= 0)
        refuse(QStringLiteral("%1 wants a date such as 2025-06-01 or 2025-06-01T12:00:00Z,"
                              " got '%2'")
                   .arg(option, value));
    return date.toMSecsSinceEpoch();
}

qint64 parseDuration(const QString &value, const QString &option)
{
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("^([+-]?)(\\d{1,12})(ms|s|m|h|d)$")).match(value);
    if (!match.hasMatch())
        refuse(QStringLiteral("%1 wants a duration such as 30s, -15m, 2h or 7d, got '%2'")
                   .arg(option, value));
    static const QHash<QString, qint64> units {{QStringLiteral("ms"), 1},
                                               {QStringLiteral("s"), 1000},
                                               {QStringLiteral("m"), 60000},
                                               {QStringLiteral("h"), 3600000},
                                               {QStringLiteral("d"), 86400000}};
    const qint64 ms = match.captured(2).toLongLong() * units.value(match.captured(3));
    return match.captured(1) == QLatin1String("-") ? -ms : ms;
}

int parseNumber(const QString &value, const QString &what, int minimum, int maximum)
{
    bool ok = false;
    const int number = value.toInt(&ok);
    if (!ok || number < minimum || number > maximum
        || !QRegularExpression(QStringLiteral("^-?\\d+$")).match(value).hasMatch())
        refuse(QStringLiteral("%1 wants a whole number from %2 to %3, got '%4'")
                   .arg(what)
                   .arg(minimum)
                   .arg(maximum)
                   .arg(value));
    return number;
}

qint64 parseKopecks(const QString &value)
{
    bool ok = false;
    const qint64 kopecks = value.toLongLong(&ok);
    if (!ok || kopecks <= 0
        || !QRegularExpression(QStringLiteral("^\\d+$")).match(value).hasMatch())
        refuse(QStringLiteral("the amount is whole kopecks, more than 0, got '%1'").arg(value));
    return kopecks;
}

CardStatus::type parseStatus(const QString &value)
{
    static const QHash<QString, CardStatus::type> statuses {
        {QStringLiteral("active"), CardStatus::ACTIVE},
        {QStringLiteral("blocked"), CardStatus::BLOCKED},
        {QStringLiteral("withdrawal"), CardStatus::WITHDRAWAL},
        {QStringLiteral("anonymous"), CardStatus::ANONYMOUS_CARD}};
    if (!statuses.contains(value.toLower()))
        refuse(QStringLiteral("--status wants active, blocked, withdrawal or anonymous, got '%1'")
                   .arg(value));
    return statuses.value(value.toLower());
}

// An enum value by the interface's name for it, or its number when it has none.
QString enumName(const std::map<int, const char *> &names, int value)
{
    const auto found = names.find(value);
    return found == names.end() ? QString::number(value) : QString::fromLatin1(found->second);
}

QString statusName(CardStatus::type status)
{
    return enumName(_CardStatus_VALUES_TO_NAMES, status);
}

// What a transaction's or a change's status number means (see AssetBook).
QString stateName(int status)
{
    static const char *names[]
        = {"pending", "committed", "rolled back", "bonus activated", "bonus expired"};
    return status >= 0 && status < 5 ? QString::fromLatin1(names[status]) : QString::number(status);
}

QJsonObject json(const AdminResult &result)
{
    return {{QStringLiteral("success"), result.success},
            {QStringLiteral("description"), text(result.description)}};
}

QJsonObject json(const AssetGroup &group)
{
    return {{QStringLiteral("groupId"), text(group.groupId)},
            {QStringLiteral("beginDate"), double(group.beginDate)},
            {QStringLiteral("endDate"), double(group.endDate)},
            {QStringLiteral("weight"), group.weight}};
}

QJsonObject json(const Terminal &terminal)
{
    return {{QStringLiteral("id"), text(terminal.id)},
            {QStringLiteral("blocked"), terminal.blocked}};
}

QJsonObject json(const Asset &asset)
{
    QJsonArray changes;
    for (const TransactionStatus &change : asset.transactionStatuses)
        changes.append(QJsonObject {{QStringLiteral("terminal"), json(change.terminal)},
                                    {QStringLiteral("status"), change.status},
                                    {QStringLiteral("date"), double(change.date)},
                                    {QStringLiteral("reason"), text(change.reason)}});
    return {{QStringLiteral("id"), text(asset.id)},
            {QStringLiteral("amount"), double(asset.amount)},
            {QStringLiteral("status"), asset.status},
            {QStringLiteral("time"), double(asset.time)},
            {QStringLiteral("terminal"), json(asset.terminal)},
            {QStringLiteral("transactionStatuses"), changes},
            {QStringLiteral("dateFromCash"), double(asset.additionalInfo.dateFromCash)},
            {QStringLiteral("assetGroup"), json(asset.assetGroup)}};
}

QJsonObject json(const Card &card)
{
    return {{QStringLiteral("cardNumber"), text(card.cardNumber)},
            {QStringLiteral("status"), statusName(card.status)}};
}

QString line(const Card &card)
{
    return text(card.cardNumber) + QLatin1Char(' ') + statusName(card.status);
}

Card cardNumbered(const std::string &number)
{
    Card card;
    card.__set_cardNumber(number);
    return card;
}

using AdminClient = AccountingAdminLogicServiceClient;
using Answer = AdminCommand::Answer;
using Calls = std::function<Answer(AdminClient &, AccountingLogicServiceClient &)>;

// A command that makes one administrative call answered with an AdminResult.
Calls resultOf(std::function<void(AdminClient &, AdminResult &)> call)
{
    return [call](AdminClient &admin, AccountingLogicServiceClient &) {
        AdminResult result;
        call(admin, result);
        Answer out;
        out.done = result.success;
        out.lines << text(result.description);
        out.json = json(result);
        return out;
    };
}

// A command that prints one number.
Calls countOf(std::function<qint64(AdminClient &)> call)
{
    return [call](AdminClient &admin, AccountingLogicServiceClient &) {
        const qint64 count = call(admin);
        Answer out;
        out.lines << QString::number(count);
        out.json = {{QStringLiteral("count"), double(count)}};
        return out;
    };
}

// A command that prints a list: a line for each item, and under `key` a
// JSON array of them, next to `also`.
template<typename Item>
Calls listOf(const QString &key, std::function<void(AdminClient &, std::vector<Item> &)> call,
             std::function<QString(const Item &)> line,
             std::function<QJsonObject(const Item &)> object, QJsonObject also = {})
{
    return [=](AdminClient &admin, AccountingLogicServiceClient &) {
        std::vector<Item> items;
        call(admin, items);
        Answer out;
        QJsonArray array;
        for (const Item &item : items) {
            out.lines << line(item);
            array.append(object(item));
        }
        out.json = also;
        out.json.insert(key, array);
        return out;
    };
}

Calls groupsOf(std::function<void(AdminClient &, std::vector<AssetGroup> &)> call)
{
    return listOf<AssetGroup>(
        QStringLiteral("groups"), std::move(call),
        [](const AssetGroup &group) {
            return QStringLiteral("%1 begin=%2 end=%3 weight=%4")
                .arg(text(group.groupId), isoTime(group.beginDate), isoTime(group.endDate))
                .arg(group.weight);
        },
        [](const AssetGroup &group) { return json(group); });
}

} // namespace

int AdminCommand::run(const QStringList &arguments)
{
    Options options;
    Calls calls;
    try {
        bool help = false;
        QString usage;
        options = parse(arguments, help, usage);
        if (help) {
            Console::plainOut(usage);
            return 0;
        }
        calls = command(options);
    } catch (const UsageError &e) {
        Console::plainErr(QStringLiteral("accounting-sim admin: ") + QString::fromUtf8(e.what()));
        return 2;
    }
    return call(options, calls);
}

AdminCommand::Options AdminCommand::parse(const QStringList &arguments, bool &help,
                                          QString &helpText)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(::helpText));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const auto option
        = [&](const char *name, const char *description, const char *value = nullptr) {
              QCommandLineOption made = value
                  ? QCommandLineOption(QLatin1String(name), QString::fromUtf8(description),
                                       QLatin1String(value))
                  : QCommandLineOption(QLatin1String(name), QString::fromUtf8(description));
              parser.addOption(made);
              return made;
          };
    const auto server
        = option("server", "The administrative port (default 127.0.0.1:9091).", "HOST:PORT");
    const auto jsonOption = option("json", "Print one JSON object.");
    const auto operatorName
        = option("operator", "Who is asking, as the server logs it (default admin).", "NAME");
    const auto tlsCert = option("tls-cert", "An operator's certificate (PEM), for TLS.", "FILE");
    const auto tlsKey = option("tls-key", "Its private key (PEM).", "FILE");
    const auto tlsCa = option("tls-ca", "The CA that signed the server's certificate.", "FILE");
    const auto page = option("page", "Page of a list, from 0 (default 0).", "N");
    const auto size = option("size", "Items on a page (default 100).", "N");
    const auto sort = option("sort", "card history: id, amount, status or time.", "FIELD");
    const auto descending = option("desc", "card history: the other way round.");
    const auto pending = option("pending", "card history: only what is still pending.");
    const auto blocked = option("blocked", "terminal add: registered blocked.");
    const auto status = option("status", "card add: the card's status.", "STATUS");
    const auto group = option("group", "card credit, card debit: the bonus group.", "G");
    const auto from = option("from", "card credit: spendable from this date.", "DATE");
    const auto until = option("until", "card credit: expires at this date.", "DATE");
    const auto weight = option("weight", "card credit, group change: the group's weight.", "W");
    const auto shiftBegin = option("shift-begin", "group change: move the begin by D.", "D");
    const auto shiftEnd = option("shift-end", "group change: move the end by D.", "D");
    const auto beginsAfter = option("begins-after", "group list: beginning after DATE.", "DATE");
    const auto endsBefore = option("ends-before", "group list: ending before DATE.", "DATE");
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("See above."));

    // "accounting-sim admin ...": the parser sees the program, then the rest.
    QStringList words = arguments;
    words.removeAt(1);
    if (!parser.parse(words))
        refuse(parser.errorText());
    Options options;
    if (parser.isSet(helpOption)) {
        help = true;
        helpText = parser.helpText();
        return options;
    }
    if (parser.isSet(server)) {
        const QString value = parser.value(server);
        const int colon = value.lastIndexOf(QLatin1Char(':'));
        if (colon <= 0)
            refuse(QStringLiteral("--server wants HOST:PORT, got '%1'").arg(value));
        options.host = value.left(colon);
        options.port
            = parseNumber(value.mid(colon + 1), QStringLiteral("--server's port"), 1, 65535);
    }
    options.json = parser.isSet(jsonOption);
    if (parser.isSet(operatorName)) {
        options.operatorName = parser.value(operatorName);
        if (options.operatorName.isEmpty())
            refuse(QStringLiteral("--operator needs a name"));
    }
    options.tlsCertificate = parser.value(tlsCert);
    options.tlsKey = parser.value(tlsKey);
    options.tlsCa = parser.value(tlsCa);
    if (options.tlsCertificate.isEmpty() != options.tlsKey.isEmpty()
        || (options.tlsCa.isEmpty() && !options.tlsCertificate.isEmpty()))
        refuse(QStringLiteral("TLS wants --tls-ca, and --tls-cert with --tls-key"));
    if (parser.isSet(page))
        options.page = parseNumber(parser.value(page), QStringLiteral("--page"), 0, INT32_MAX);
    if (parser.isSet(size))
        options.size = parseNumber(parser.value(size), QStringLiteral("--size"), 1, 1000);
    if (parser.isSet(sort)) {
        const QStringList fields {QStringLiteral("id"), QStringLiteral("amount"),
                                  QStringLiteral("status"), QStringLiteral("time")};
        options.sort = fields.indexOf(parser.value(sort));
        if (options.sort < 0)
            refuse(QStringLiteral("--sort wants id, amount, status or time, got '%1'")
                       .arg(parser.value(sort)));
    }
    options.descending = parser.isSet(descending);
    options.pending = parser.isSet(pending);
    options.blocked = parser.isSet(blocked);
    options.status = parser.value(status);
    options.group = parser.value(group);
    if (parser.isSet(from))
        options.from = parseDate(parser.value(from), QStringLiteral("--from"));
    if (parser.isSet(until))
        options.until = parseDate(parser.value(until), QStringLiteral("--until"));
    if (parser.isSet(weight)) {
        options.weight
            = parseNumber(parser.value(weight), QStringLiteral("--weight"), INT32_MIN, INT32_MAX);
        options.weightGiven = true;
    }
    if (parser.isSet(shiftBegin))
        options.shiftBegin
            = parseDuration(parser.value(shiftBegin), QStringLiteral("--shift-begin"));
    if (parser.isSet(shiftEnd))
        options.shiftEnd = parseDuration(parser.value(shiftEnd), QStringLiteral("--shift-end"));
    if (parser.isSet(beginsAfter))
        options.beginsAfter
            = parseDate(parser.value(beginsAfter), QStringLiteral("--begins-after"));
    if (parser.isSet(endsBefore))
        options.endsBefore = parseDate(parser.value(endsBefore), QStringLiteral("--ends-before"));
    options.words = parser.positionalArguments();

    // Options that only some commands take are refused elsewhere.
    const QString command = options.words.mid(0, 2).join(QLatin1Char(' '));
    const auto only = [&](bool given, const char *name, const QStringList &commands) {
        if (given && !commands.contains(command))
            refuse(QStringLiteral("%1 does not go with '%2'").arg(QLatin1String(name), command));
    };
    const QStringList lists {QStringLiteral("card list"), QStringLiteral("card history"),
                             QStringLiteral("balances list"), QStringLiteral("group list")};
    only(parser.isSet(page), "--page", lists);
    only(parser.isSet(size), "--size", lists);
    only(parser.isSet(sort), "--sort", {QStringLiteral("card history")});
    only(options.descending, "--desc", {QStringLiteral("card history")});
    only(options.pending, "--pending", {QStringLiteral("card history")});
    only(options.blocked, "--blocked", {QStringLiteral("terminal add")});
    only(parser.isSet(status), "--status", {QStringLiteral("card add")});
    only(parser.isSet(group), "--group",
         {QStringLiteral("card credit"), QStringLiteral("card debit")});
    only(parser.isSet(from), "--from", {QStringLiteral("card credit")});
    only(parser.isSet(until), "--until", {QStringLiteral("card credit")});
    only(options.weightGiven, "--weight",
         {QStringLiteral("card credit"), QStringLiteral("group change")});
    only(parser.isSet(shiftBegin), "--shift-begin", {QStringLiteral("group change")});
    only(parser.isSet(shiftEnd), "--shift-end", {QStringLiteral("group change")});
    only(parser.isSet(beginsAfter), "--begins-after", {QStringLiteral("group list")});
    only(parser.isSet(endsBefore), "--ends-before", {QStringLiteral("group list")});
    if ((options.from || options.until || options.weightGiven) && options.group.isEmpty()
        && command == QLatin1String("card credit"))
        refuse(QStringLiteral("--from, --until and --weight need --group"));
    if (options.from && options.until && options.from >= options.until)
        refuse(QStringLiteral("--from must come before --until"));
    return options;
}

AdminCommand::Calls AdminCommand::command(const Options &o)
{
    const QStringList &w = o.words;
    const QString noun = w.value(0);
    const QString verb = w.value(1);
    const auto want = [&](int count, const char *usage) {
        if (w.size() != count)
            refuse(QStringLiteral("usage: admin ") + QLatin1String(usage));
    };
    const std::string by = o.operatorName.toStdString();
    const std::string arg2 = w.value(2).toStdString();
    const int page = std::max(o.page, 0);
    const int size = o.size > 0 ? o.size : defaultPageSize;

    if (noun == QLatin1String("terminal")) {
        if (verb == QLatin1String("add")) {
            want(3, "terminal add ID [--blocked]");
            Terminal terminal;
            terminal.__set_id(arg2);
            terminal.__set_blocked(o.blocked);
            return resultOf([=](AdminClient &admin, AdminResult &result) {
                admin.createTerminal(result, terminal);
            });
        }
        if (verb == QLatin1String("block") || verb == QLatin1String("activate")) {
            want(3, "terminal block|activate ID");
            const bool block = verb == QLatin1String("block");
            return resultOf([=](AdminClient &admin, AdminResult &result) {
                block ? admin.blockTerminal(result, arg2) : admin.activateTerminal(result, arg2);
            });
        }
        if (verb == QLatin1String("status")) {
            want(3, "terminal status ID");
            return [=](AdminClient &admin, AccountingClient &) {
                const QString name
                    = enumName(_TerminalStatus_VALUES_TO_NAMES, admin.getTerminalStatus(arg2));
                Answer out;
                out.lines << text(arg2) + QLatin1Char(' ') + name;
                out.json
                    = {{QStringLiteral("terminal"), text(arg2)}, {QStringLiteral("status"), name}};
                return out;
            };
        }
    } else if (noun == QLatin1String("card")) {
        if (verb == QLatin1String("add")) {
            want(3, "card add NUMBER [--status STATUS]");
            Card card = cardNumbered(arg2);
            card.__set_status(o.status.isEmpty() ? CardStatus::ACTIVE : parseStatus(o.status));
            return resultOf([=](AdminClient &admin, AdminResult &result) {
                admin.createCard(result, by, card);
            });
        }
        if (verb == QLatin1String("show")) {
            want(3, "card show NUMBER");
            return [=](AdminClient &admin, AccountingClient &) {
                Card card;
                admin.getCard(card, by, arg2);
                Answer out;
                out.lines << line(card);
                out.json = json(card);
                return out;
            };
        }
        if (verb == QLatin1String("exists")) {
            want(3, "card exists NUMBER");
            return resultOf([=](AdminClient &admin, AdminResult &result) {
                admin.cardExists(result, by, cardNumbered(arg2));
            });
        }
        static const QHash<QString, CardStatus::type> statusVerbs {
            {QStringLiteral("block"), CardStatus::BLOCKED},
            {QStringLiteral("activate"), CardStatus::ACTIVE},
            {QStringLiteral("withdraw"), CardStatus::WITHDRAWAL},
            {QStringLiteral("anonymous"), CardStatus::ANONYMOUS_CARD}};
        if (statusVerbs.contains(verb)) {
            want(3, "card block|activate|withdraw|anonymous NUMBER");
            const CardStatus::type status = statusVerbs.value(verb);
            return resultOf([=](AdminClient &admin, AdminResult &result) {
                admin.setCardStatus(result, by, cardNumbered(arg2), status);
            });
        }
        if (verb == QLatin1String("count")) {
            want(2, "card count");
            return countOf([=](AdminClient &admin) { return admin.getCardCount(by); });
        }
        if (verb == QLatin1String("list")) {
            want(2, "card list [--page N] [--size N]");
            return listOf<Card>(
                QStringLiteral("cards"),
                [=](AdminClient &admin, std::vector<Card> &cards) {
                    admin.getCards(cards, by, page, size);
                },
                [](const Card &card) { return line(card); },
                [](const Card &card) { return json(card); },
                {{QStringLiteral("page"), page}, {QStringLiteral("size"), size}});
        }
        if (verb == QLatin1String("history")) {
            want(3, "card history NUMBER [--pending] [--page N] [--size N] [--sort F] [--desc]");
            // The whole history unless a page or an order was asked for.
            const bool paged = o.page >= 0 || o.size > 0 || o.sort >= 0 || o.descending;
            const int sort = std::max(o.sort, 0);
            const bool pendingOnly = o.pending;
            const bool ascending = !o.descending;
            return [=](AdminClient &admin, AccountingClient &) {
                std::vector<Asset> assets;
                if (paged)
                    admin.getPageableAssetList(assets, by, arg2, page, size,
                                               SortAssetsByField::type(sort), ascending);
                else
                    admin.getAssetList(assets, by, arg2);
                Answer out;
                QJsonArray items;
                for (const Asset &asset : assets) {
                    if (pendingOnly && asset.status != 0)
                        continue;
                    QString line
                        = QStringLiteral("%1 %2 %3 amount=%4 terminal=%5")
                              .arg(isoTime(asset.time), text(asset.id), stateName(asset.status))
                              .arg(asset.amount)
                              .arg(text(asset.terminal.id));
                    if (!asset.assetGroup.groupId.empty())
                        line += QStringLiteral(" group=") + text(asset.assetGroup.groupId);
                    out.lines << line;
                    for (const TransactionStatus &change : asset.transactionStatuses)
                        out.lines << QStringLiteral("  %1 %2 terminal=%3 reason=%4")
                                         .arg(isoTime(change.date), stateName(change.status),
                                              text(change.terminal.id), text(change.reason));
                    items.append(json(asset));
                }
                out.json
                    = {{QStringLiteral("card"), text(arg2)}, {QStringLiteral("assets"), items}};
                return out;
            };
        }
        if (verb == QLatin1String("groups")) {
            want(3, "card groups NUMBER");
            return groupsOf([=](AdminClient &admin, std::vector<AssetGroup> &groups) {
                admin.getAssetGroupForCard(groups, by, arg2);
            });
        }
        if (verb == QLatin1String("credit") || verb == QLatin1String("debit")) {
            want(4, "card credit|debit NUMBER KOPECKS [--group G] ...");
            const bool credit = verb == QLatin1String("credit");
            const qint64 amount = parseKopecks(w.at(3));
            AssetGroup group;
            group.__set_groupId(o.group.toStdString());
            group.__set_beginDate(o.from);
            group.__set_endDate(o.until);
            group.__set_weight(o.weight);
            // A till's own id for the operation: never used before.
            const std::string id
                = "admin-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
            return [=](AdminClient &, AccountingClient &accounting) {
                Result result;
                if (credit)
                    accounting.add(result, by, id, arg2, amount, AdditionalAssetInfo(), group);
                else
                    accounting.sub(result, by, id, arg2, amount, AdditionalAssetInfo(), group);
                Answer out;
                out.done = result.success;
                out.lines << (result.success
                                  ? QStringLiteral("%1: balance=%2 inactive=%3 session=%4")
                                        .arg(text(result.description))
                                        .arg(result.balance)
                                        .arg(result.balanceInactive)
                                        .arg(text(result.sessionId))
                                  : text(result.description));
                out.json = {{QStringLiteral("success"), result.success},
                            {QStringLiteral("sessionId"), text(result.sessionId)},
                            {QStringLiteral("description"), text(result.description)},
                            {QStringLiteral("balance"), double(result.balance)},
                            {QStringLiteral("balanceInactive"), double(result.balanceInactive)}};
                return out;
            };
        }
    } else if (noun == QLatin1String("transaction") && verb == QLatin1String("reason")) {
        want(5, "transaction reason SESSION ITEM TEXT");
        const int item = parseNumber(w.at(3), QStringLiteral("ITEM"), 0, INT32_MAX);
        const std::string reason = w.at(4).toStdString();
        return resultOf([=](AdminClient &admin, AdminResult &result) {
            admin.setTransactionReason(result, by, arg2, item, reason);
        });
    } else if (noun == QLatin1String("balances")) {
        if (verb == QLatin1String("snapshot") || verb == QLatin1String("update")) {
            want(2, "balances snapshot|update");
            const bool make = verb == QLatin1String("snapshot");
            return resultOf([=](AdminClient &admin, AdminResult &result) {
                make ? admin.createActualBonusesTable(result, by)
                     : admin.updateActualBonusesOnCard(result, by);
            });
        }
        if (verb == QLatin1String("count")) {
            want(2, "balances count");
            return countOf(
                [=](AdminClient &admin) { return admin.getActualBonusesTableCount(by); });
        }
        if (verb == QLatin1String("list")) {
            want(2, "balances list [--page N] [--size N]");
            return listOf<BalanceOnDate>(
                QStringLiteral("balances"),
                [=](AdminClient &admin, std::vector<BalanceOnDate> &balances) {
                    admin.getActualBonuses(balances, by, page, size);
                },
                [](const BalanceOnDate &balance) {
                    return QStringLiteral("%1 %2 %3")
                        .arg(text(balance.cardNumber))
                        .arg(balance.balance)
                        .arg(isoTime(balance.date));
                },
                [](const BalanceOnDate &balance) {
                    return QJsonObject {{QStringLiteral("cardNumber"), text(balance.cardNumber)},
                                        {QStringLiteral("date"), double(balance.date)},
                                        {QStringLiteral("balance"), double(balance.balance)}};
                });
        }
    } else if (noun == QLatin1String("group")) {
        if (verb == QLatin1String("list")) {
            want(2, "group list [--begins-after DATE] [--ends-before DATE] [--page N] [--size N]");
            return groupsOf([=](AdminClient &admin, std::vector<AssetGroup> &groups) {
                admin.getAssetGroups(groups, by, o.beginsAfter, o.endsBefore, page, size);
            });
        }
        if (verb == QLatin1String("change")) {
            want(3, "group change ID [--shift-begin D] [--shift-end D] [--weight W]");
            const bool weightGiven = o.weightGiven;
            const int weight = o.weight;
            const qint64 beginShift = o.shiftBegin;
            const qint64 endShift = o.shiftEnd;
            return resultOf([=](AdminClient &admin, AdminResult &result) {
                // The interface sets the weight always: keep the group's own
                // unless one is given.
                int newWeight = weight;
                if (!weightGiven) {
                    std::vector<AssetGroup> groups;
                    for (int p = 0;; ++p) {
                        admin.getAssetGroups(groups, by, 0, 0, p, 1000);
                        const auto found
                            = std::find_if(groups.begin(), groups.end(),
                                           [&](const AssetGroup &g) { return g.groupId == arg2; });
                        if (found != groups.end()) {
                            newWeight = found->weight;
                            break;
                        }
                        if (groups.size() < 1000)
                            break;
                    }
                }
                admin.changeAssetGroupParams(result, by, arg2, beginShift, endShift, newWeight);
            });
        }
    } else if (noun == QLatin1String("internal")) {
        if (verb == QLatin1String("list")) {
            want(2, "internal list");
            return listOf<InternalMethod>(
                QStringLiteral("methods"),
                [=](AdminClient &admin, std::vector<InternalMethod> &methods) {
                    admin.getInternalMethods(methods, by);
                },
                [](const InternalMethod &method) {
                    return text(method.name) + QStringLiteral("  ") + text(method.description);
                },
                [](const InternalMethod &method) {
                    return QJsonObject {{QStringLiteral("name"), text(method.name)},
                                        {QStringLiteral("description"), text(method.description)}};
                });
        }
        if (verb == QLatin1String("run")) {
            want(3, "internal run NAME");
            return resultOf([=](AdminClient &admin, AdminResult &result) {
                admin.executeInternalMethod(result, by, arg2);
            });
        }
    }
    if (w.isEmpty())
        refuse(QStringLiteral("no command: see accounting-sim admin --help"));
    refuse(QStringLiteral("unknown command '%1': see accounting-sim admin --help")
               .arg(w.mid(0, 2).join(QLatin1Char(' '))));
}

int AdminCommand::call(const Options &options, const Calls &calls)
{
    const auto fail = [&](const QString &reason) {
        if (options.json)
            Console::plainOut(
                QString::fromUtf8(QJsonDocument(QJsonObject {{QStringLiteral("error"), reason}})
                                      .toJson(QJsonDocument::Compact)));
        else
            Console::plainErr(QStringLiteral("accounting-sim admin: ") + reason);
        return 1;
    };
    std::shared_ptr<TSocket> socket;
    try {
        if (options.tlsCa.isEmpty()) {
            socket = std::make_shared<TSocket>(options.host.toStdString(), options.port);
        } else {
            auto factory = std::make_shared<TSSLSocketFactory>();
            factory->authenticate(true);
            factory->loadTrustedCertificates(options.tlsCa.toLocal8Bit().constData());
            if (!options.tlsCertificate.isEmpty()) {
                factory->loadCertificate(options.tlsCertificate.toLocal8Bit().constData());
                factory->loadPrivateKey(options.tlsKey.toLocal8Bit().constData());
            }
            socket = factory->createSocket(options.host.toStdString(), options.port);
        }
        socket->setConnTimeout(connectTimeoutMs);
        socket->setRecvTimeout(receiveTimeoutMs);
        socket->setSendTimeout(receiveTimeoutMs);
        auto protocol = std::make_shared<TBinaryProtocol>(socket);
        AdminClient admin(protocol);
        AccountingClient accounting(protocol);
        socket->open();
        const Answer out = calls(admin, accounting);
        socket->close();
        if (options.json) {
            Console::plainOut(
                QString::fromUtf8(QJsonDocument(out.json).toJson(QJsonDocument::Compact)));
        } else if (out.done) {
            if (!out.lines.isEmpty())
                Console::plainOut(out.lines.join(QLatin1Char('\n')));
        } else {
            Console::plainErr(QStringLiteral("accounting-sim admin: ")
                              + out.lines.join(QLatin1Char(' ')));
        }
        return out.done ? 0 : 1;
    } catch (const apache::thrift::TApplicationException &e) {
        // The server's answer to a call it could not serve as asked.
        return fail(QString::fromUtf8(e.what()));
    } catch (const TException &e) {
        return fail(QStringLiteral("cannot reach %1:%2: %3")
                        .arg(options.host)
                        .arg(options.port)
                        .arg(QString::fromUtf8(e.what())));
    }
}
