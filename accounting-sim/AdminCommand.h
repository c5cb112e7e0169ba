#ifndef ADMINCOMMAND_H
#define ADMINCOMMAND_H

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace accounting::logic::thriftapi {
class AccountingAdminLogicServiceClient;
class AccountingLogicServiceClient;
} // namespace accounting::logic::thriftapi

/*!
    `accounting-sim admin ...`: the administrative service from the command
    line, in an operator's words ("card block 2000123456789", "terminal add
    T-07", "card credit N 50000 --group spring --until 2025-06-01"). Prints
    what it got as text, or with --json as one JSON object. Exit status 0
    when the server did it, 1 when it refused or could not be reached (the
    reason on standard error, or as {"error": ...} with --json), 2 for a
    command line it cannot use (one line on standard error); help goes to
    standard output.
*/
class AdminCommand
{
public:
    // `arguments` as main() has them, "admin" included.
    static int run(const QStringList &arguments);

    // What a command prints: text lines, or the JSON object; `done` false
    // when the server refused.
    struct Answer
    {
        bool done = true;
        QStringList lines;
        QJsonObject json;
    };

private:
    using AdminClient = accounting::logic::thriftapi::AccountingAdminLogicServiceClient;
    using AccountingClient = accounting::logic::thriftapi::AccountingLogicServiceClient;

    struct Options
    {
        QString host = QStringLiteral("127.0.0.1");
        int port = 9091;
        bool json = false;
        QString operatorName = QStringLiteral("admin");
        QString tlsCertificate;
        QString tlsKey;
        QString tlsCa;
        int page = -1;
        int size = -1;
        int sort = -1;
        bool descending = false;
        bool pending = false;
        bool blocked = false;
        QString status;
        QString group;
        qint64 from = 0;
        qint64 until = 0;
        int weight = 0;
        bool weightGiven = false;
        qint64 shiftBegin = 0;
        qint64 shiftEnd = 0;
        qint64 beginsAfter = 0;
        qint64 endsBefore = 0;
        QStringList words;
    };
    using Calls = std::function<Answer(AdminClient &, AccountingClient &)>;

    static Options parse(const QStringList &arguments, bool &help, QString &helpText);
    // The calls a command line makes; throws UsageError.
    static Calls command(const Options &options);
    static int call(const Options &options, const Calls &calls);
};

#endif // ADMINCOMMAND_H
