#ifndef ACCOUNTINGHANDLER_H
#define ACCOUNTINGHANDLER_H

#include "AccountingLogicService.h"
#include "Caller.h"
#include "Ledger.h"

#include <QStringList>

#include <memory>
#include <optional>

class FailureLimiter;
class Metrics;
class TerminalRegistry;
struct LedgerReply;

/*!
    Answers AccountingLogicService calls from the ledger, every method:
    balance; makePay, makePayBack, makeEarn and makeEarnBack, committed or
    rolled back by commitTransaction and rollbackTransaction; pay, back, add
    and sub at once; cancel, a rollback by id alone.

    Terminals go by the ledger's registry: a blocked one is refused every
    call ("Терминал заблокирован"); an unknown one is served unless the
    policy wants terminals registered; an empty terminal id is always
    refused. A caller whose certificate names a terminal is served as that
    terminal only; a certificate that names no terminal is served nothing. A
    terminal held back by the failure limiter has its commits, rollbacks and
    cancels refused.

    On the administrative port the callers are operators, who may act for
    any terminal; with TLS, only with an operator's certificate.

    Ids longer than the ledger stores are refused before it is asked. A
    request the ledger failed (rolled back, or of unknown outcome) is never
    answered as a refusal: it throws UnknownOutcome, which
    AccountingProcessor answers as an INTERNAL_ERROR. Each call is logged as
    one line on stdout (card numbers as CardMask shows them), followed by the
    ledger's notices, and counted in Metrics. One for each connection; the
    ledger, the registry, the limiter and the metrics are shared.
*/
class AccountingHandler final : public accounting::logic::thriftapi::AccountingLogicServiceIf
{
public:
    using Result = accounting::logic::thriftapi::Result;
    using AdditionalAssetInfo = accounting::logic::thriftapi::AdditionalAssetInfo;
    using AssetGroup = accounting::logic::thriftapi::AssetGroup;

    struct Policy
    {
        // Only terminals in the registry are served (--terminal was given).
        bool registeredOnly = false;
        // Operators on the administrative port: any terminal id is served.
        bool operators = false;
        // TLS asks for client certificates: an operator must show one.
        bool certificates = false;
        // The service's name in the metrics.
        QString service = QStringLiteral("accounting");
    };

    AccountingHandler(Ledger &ledger, TerminalRegistry &terminals, Metrics &metrics,
                      const Policy &policy, std::shared_ptr<const Caller> caller,
                      FailureLimiter &limiter);

    void pay(Result &_return, const std::string &terminalId, const std::string &sessionId,
             const std::string &cardNumber, const int64_t amount,
             const AdditionalAssetInfo &additionalInfo) override;
    void cancel(Result &_return, const std::string &terminalId, const std::string &sessionId,
                const int32_t status) override;
    void back(Result &_return, const std::string &terminalId, const std::string &sessionId,
              const std::string &cardNumber, const int64_t amount,
              const AdditionalAssetInfo &additionalInfo) override;
    void balance(Result &_return, const std::string &terminalId,
                 const std::string &cardNumber) override;
    void add(Result &_return, const std::string &terminalId, const std::string &sessionId,
             const std::string &cardNumber, const int64_t amount,
             const AdditionalAssetInfo &additionalInfo, const AssetGroup &assetGroup) override;
    void sub(Result &_return, const std::string &terminalId, const std::string &sessionId,
             const std::string &cardNumber, const int64_t amount,
             const AdditionalAssetInfo &additionalInfo, const AssetGroup &assetGroup) override;
    void makeEarn(Result &_return, const std::string &terminalId, const std::string &sessionId,
                  const std::string &cardNumber, const int64_t amount,
                  const AdditionalAssetInfo &additionalInfo, const AssetGroup &assetGroup) override;
    void makeEarnBack(Result &_return, const std::string &terminalId, const std::string &sessionId,
                      const std::string &cardNumber, const int64_t amount,
                      const AdditionalAssetInfo &additionalInfo,
                      const AssetGroup &assetGroup) override;
    void makePay(Result &_return, const std::string &terminalId, const std::string &sessionId,
                 const std::string &cardNumber, const int64_t amount,
                 const AdditionalAssetInfo &additionalInfo) override;
    void makePayBack(Result &_return, const std::string &terminalId, const std::string &sessionId,
                     const std::string &cardNumber, const int64_t amount,
                     const AdditionalAssetInfo &additionalInfo) override;
    void commitTransaction(Result &_return, const std::string &terminalId,
                           const std::string &sessionId, const std::string &cardNumber) override;
    void rollbackTransaction(Result &_return, const std::string &terminalId,
                             const std::string &sessionId, const std::string &cardNumber) override;

private:
    // The fields of one call's log line.
    struct Call
    {
        Call(const QString &method, const QString &terminal, std::optional<QString> card,
             std::optional<qint64> amount, std::optional<QString> clientSession,
             const QString &session = QString())
            : method(method)
            , terminal(terminal)
            , card(std::move(card))
            , amount(amount)
            , clientSession(std::move(clientSession))
            , session(session)
        {
        }

        QString method;
        QString terminal;
        std::optional<QString> card;
        std::optional<qint64> amount;
        std::optional<QString> clientSession;
        // The server's session: answered by makePay/makePayBack, sent by commit/rollback.
        QString session;
        // Logged only where the method has them.
        std::optional<QString> group;
        std::optional<int> status;
    };

    // Commits, rollbacks and cancels find a transaction: a miss counts for the limiter.
    enum class Finds { Nothing, Transaction };

    template<typename Work>
    void serve(Result &_return, Call call, Work work, Finds finds = Finds::Nothing);
    // A transaction opened (makePay...) or made at once (pay...).
    void money(Result &_return, const char *method, bool atOnce, Ledger::Kind kind,
               const std::string &terminalId, const std::string &sessionId,
               const std::string &cardNumber, int64_t amount, const AdditionalAssetInfo &info,
               const AssetGroup *group);
    // A transaction committed or rolled back by its session id.
    void settle(Result &_return, const char *method, bool commit, const std::string &terminalId,
                const std::string &sessionId, const std::string &cardNumber);
    // The refusal for a caller whose certificate does not allow the call,
    // with what the certificate says in `note`; empty when it does.
    QString certificateRefusal(const QString &terminalId, QString &note) const;
    // Why the terminal is not served; empty when it is. Reads the ledger.
    QString terminalRefusal(const QString &terminalId) const;
    static bool tooLong(const Call &call);
    static void fill(Result &_return, const LedgerReply &reply);
    void log(const Call &call, const Result &answer, const QString &failure,
             const QString &note) const;

    Ledger &m_ledger;
    TerminalRegistry &m_terminals;
    Metrics &m_metrics;
    const Policy m_policy;
    const std::shared_ptr<const Caller> m_caller;
    FailureLimiter &m_limiter;
};

#endif // ACCOUNTINGHANDLER_H
