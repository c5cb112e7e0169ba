#ifndef ADMINHANDLER_H
#define ADMINHANDLER_H

#include "AccountingAdminLogicService.h"
#include "Caller.h"

#include <QString>

#include <memory>

class AssetBook;
class BalanceSnapshots;
class BonusLots;
class CardRegistry;
class Ledger;
class Metrics;
class PendingSweeper;
class TerminalRegistry;

/*!
    Answers AccountingAdminLogicService calls, an operator's: terminals,
    cards, a card's transactions, the balances snapshot, bonus groups and the
    internal methods. Each call is logged as one line on stdout
    ("admin METHOD by=OPERATOR ... outcome=..."), and counted.

    A refused change is an AdminResult with success false and the reason. A
    call that cannot be answered as asked (a page size out of range, a card
    not on the ledger for a method that answers with a list or a card) is
    answered with a TApplicationException carrying the reason. A ledger that
    failed is answered as AccountingHandler answers it: an INTERNAL_ERROR,
    through AdminProcessor.

    Pages count from 0, and hold 1 to SimOptions::maxPageSize items.

    With TLS (`certificates`), only a caller whose certificate is an
    operator's is served, and the log names it by its certificate; without,
    by the terminal id it gives. One for each connection.
*/
class AdminHandler final : public accounting::logic::thriftapi::AccountingAdminLogicServiceIf
{
public:
    struct Parts
    {
        Ledger &ledger;
        TerminalRegistry &terminals;
        CardRegistry &cards;
        AssetBook &assets;
        BalanceSnapshots &snapshots;
        BonusLots &lots;
        PendingSweeper &sweeper;
        Metrics &metrics;
    };

    AdminHandler(const Parts &parts, std::shared_ptr<const Caller> caller, bool certificates);

    using Asset = accounting::logic::thriftapi::Asset;
    using AdminResult = accounting::logic::thriftapi::AdminResult;
    using Terminal = accounting::logic::thriftapi::Terminal;
    using TerminalStatus = accounting::logic::thriftapi::TerminalStatus;
    using Card = accounting::logic::thriftapi::Card;
    using CardStatus = accounting::logic::thriftapi::CardStatus;
    using SortAssetsByField = accounting::logic::thriftapi::SortAssetsByField;
    using BalanceOnDate = accounting::logic::thriftapi::BalanceOnDate;
    using InternalMethod = accounting::logic::thriftapi::InternalMethod;
    using AssetGroup = accounting::logic::thriftapi::AssetGroup;

    void getAssetList(std::vector<Asset> &_return, const std::string &terminalId,
                      const std::string &cardNumber) override;
    void getPageableAssetList(std::vector<Asset> &_return, const std::string &terminalId,
                              const std::string &cardNumber, const int32_t pageNumber,
                              const int32_t pageSize, const SortAssetsByField::type sortedByField,
                              const bool ascending) override;
    void createTerminal(AdminResult &_return, const Terminal &terminal) override;
    TerminalStatus::type getTerminalStatus(const std::string &terminalId) override;
    void blockTerminal(AdminResult &_return, const std::string &terminalId) override;
    void activateTerminal(AdminResult &_return, const std::string &terminalId) override;
    void createCard(AdminResult &_return, const std::string &terminalId, const Card &card) override;
    void cardExists(AdminResult &_return, const std::string &terminalId, const Card &card) override;
    void setCardStatus(AdminResult &_return, const std::string &terminalId, const Card &card,
                       const CardStatus::type status) override;
    int32_t getCardCount(const std::string &terminalId) override;
    void getCards(std::vector<Card> &_return, const std::string &terminalId,
                  const int32_t pageNumber, const int32_t pageSize) override;
    void createActualBonusesTable(AdminResult &_return, const std::string &terminalId) override;
    void updateActualBonusesOnCard(AdminResult &_return, const std::string &terminalId) override;
    int64_t getActualBonusesTableCount(const std::string &terminalId) override;
    void getActualBonuses(std::vector<BalanceOnDate> &_return, const std::string &terminalId,
                          const int32_t pageNumber, const int32_t pageSize) override;
    void getCard(Card &_return, const std::string &terminalId,
                 const std::string &cardNumber) override;
    void setTransactionReason(AdminResult &_return, const std::string &terminalId,
                              const std::string &sessionId, const int32_t transactionItem,
                              const std::string &reason) override;
    void getInternalMethods(std::vector<InternalMethod> &_return,
                            const std::string &terminalId) override;
    void executeInternalMethod(AdminResult &_return, const std::string &terminalId,
                               const std::string &nameOfMethod) override;
    void getAssetGroups(std::vector<AssetGroup> &_return, const std::string &terminalId,
                        const int64_t beginDateBiggerThan, const int64_t endDateLessThan,
                        const int32_t pageNumber, const int32_t pageSize) override;
    void getAssetGroupForCard(std::vector<AssetGroup> &_return, const std::string &terminalId,
                              const std::string &cardNumber) override;
    void changeAssetGroupParams(AdminResult &_return, const std::string &terminalId,
                                const std::string &groupId, const int64_t beginShift,
                                const int64_t endShift, const int32_t newWeight) override;

private:
    // What a call did, for its log line: refused or not, and in words.
    struct Outcome
    {
        bool refused = false;
        QString summary;
    };

    // Runs `work`, which fills `outcome`; logs and counts the call. A
    // refusal thrown as std::invalid_argument is logged and passed on; a
    // ledger failure becomes UnknownOutcome.
    template<typename Work>
    void serve(const char *method, const std::string &by, const QString &arguments, Work work);
    // An AdminResult from a change that may be refused.
    template<typename Change>
    void change(AdminResult &_return, const char *method, const std::string &by,
                const QString &arguments, Change change);
    // The first row of page `page` of `size` rows; throws when out of range.
    static qint64 offset(int32_t page, int32_t size);
    void assets(std::vector<Asset> &_return, const QString &card, int sort, bool ascending,
                qint64 offset, int limit, bool whole);

    Parts m_parts;
    const std::shared_ptr<const Caller> m_caller;
    const bool m_certificates;
};

#endif // ADMINHANDLER_H
