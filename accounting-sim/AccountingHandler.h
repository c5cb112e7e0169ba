#ifndef ACCOUNTINGHANDLER_H
#define ACCOUNTINGHANDLER_H

#include "AccountingLogicService.h"
#include "Caller.h"

#include <QStringList>

#include <memory>
#include <optional>

class FailureLimiter;
class Ledger;
struct LedgerReply;

/*!
    Answers AccountingLogicService calls from the ledger. Only what a till
    needs is served: balance, makePay, makePayBack, commitTransaction and
    rollbackTransaction; every other method is refused. When terminals were
    listed, any other terminal is refused; an empty terminal id always is.
    Ids longer than the ledger stores are refused before it is asked. A
    request the ledger failed (rolled back, or of unknown outcome) is never
    answered as a refusal: it throws UnknownOutcome, which AccountingProcessor
    answers as an INTERNAL_ERROR. A caller whose certificate names a terminal
    is served as that terminal only; a certificate that names no terminal is
    served nothing. A terminal held back by the failure limiter has its
    commits and rollbacks refused. Each call is logged as one line on stdout
    (card numbers as CardMask shows them), followed by the ledger's notices.
    One for each connection; the ledger and the limiter are shared.
*/
class AccountingHandler final : public accounting::logic::thriftapi::AccountingLogicServiceIf
{
public:
    using Result = accounting::logic::thriftapi::Result;
    using AdditionalAssetInfo = accounting::logic::thriftapi::AdditionalAssetInfo;
    using AssetGroup = accounting::logic::thriftapi::AssetGroup;

    // An empty list accepts every terminal.
    AccountingHandler(Ledger &ledger, const QStringList &terminals,
                      std::shared_ptr<const Caller> caller, FailureLimiter &limiter);

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
    };

    // Commits and rollbacks find a transaction: a miss counts for the limiter.
    enum class Finds { Nothing, Transaction };

    template<typename Work>
    void serve(Result &_return, Call call, Work work, Finds finds = Finds::Nothing);
    void unsupported(Result &_return, Call call);
    bool knownTerminal(const QString &terminalId) const;
    // The refusal for a caller whose certificate does not allow the call,
    // with what the certificate says in `note`; empty when it does.
    QString certificateRefusal(const QString &terminalId, QString &note) const;
    static bool tooLong(const Call &call);
    static void fill(Result &_return, const LedgerReply &reply);
    static void log(const Call &call, const Result &answer, const QString &failure,
                    const QString &note);

    Ledger &m_ledger;
    const QStringList m_terminals;
    const std::shared_ptr<const Caller> m_caller;
    FailureLimiter &m_limiter;
};

#endif // ACCOUNTINGHANDLER_H
