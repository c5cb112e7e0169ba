/*
 * Wire contract between the till's bonus-credit plug-in and the accounting
 * server. Money is an i64 count of kopecks; time stamps are i64 milliseconds
 * since 1970-01-01 00:00 UTC. Field ids are part of the wire format: keep the
 * gaps (10, 20, 30...) exactly as they are.
 */

namespace cpp accounting.logic.thriftapi

enum CardStatus {
    ACTIVE = 0,
    BLOCKED = 1,
    WITHDRAWAL = 2,
    ANONYMOUS_CARD = 3
}

enum TerminalStatus {
    ACTIVE = 0,
    BLOCKED = 1,
    NOT_FOUND = 2
}

enum SortAssetsByField {
    ID = 0,
    AMOUNT = 1,
    STATUS = 2,
    TIME = 3
}

struct Result {
    1: bool success,
    2: string sessionId,
    3: string description,
    4: i64 balance,
    5: i64 balanceInactive
}

struct AdditionalAssetInfo {
    10: i64 dateFromCash
}

struct AssetGroup {
    10: string groupId,
    20: i64 beginDate,
    30: i64 endDate,
    40: i32 weight
}

struct Terminal {
    1: string id,
    2: bool blocked
}

struct TransactionStatus {
    10: Terminal terminal,
    20: i32 status,
    30: i64 date,
    40: string reason
}

struct Asset {
    1: string id,
    2: i64 amount,
    3: i32 status,
    4: i64 time,
    5: Terminal terminal,
    6: list<TransactionStatus> transactionStatuses,
    10: AdditionalAssetInfo additionalInfo,
    20: AssetGroup assetGroup
}

struct AdminResult {
    1: bool success,
    2: string description
}

struct Card {
    1: string cardNumber,
    2: CardStatus status
}

struct Account {
    1: string number
}

struct BalanceOnDate {
    10: string cardNumber,
    20: i64 date,
    30: i64 balance
}

struct InternalMethod {
    10: string name,
    20: string description
}

service AccountingLogicService {
    Result pay(1: string terminalId, 2: string sessionId, 3: string cardNumber,
               4: i64 amount, 5: AdditionalAssetInfo additionalInfo),
    Result cancel(1: string terminalId, 2: string sessionId, 3: i32 status),
    Result back(1: string terminalId, 2: string sessionId, 3: string cardNumber,
                4: i64 amount, 5: AdditionalAssetInfo additionalInfo),
    Result balance(1: string terminalId, 2: string cardNumber),
    Result add(1: string terminalId, 2: string sessionId, 3: string cardNumber,
               4: i64 amount, 5: AdditionalAssetInfo additionalInfo,
               6: AssetGroup assetGroup),
    Result sub(1: string terminalId, 2: string sessionId, 3: string cardNumber,
               4: i64 amount, 5: AdditionalAssetInfo additionalInfo,
               6: AssetGroup assetGroup),
    Result makeEarn(1: string terminalId, 2: string sessionId, 3: string cardNumber,
                    4: i64 amount, 5: AdditionalAssetInfo additionalInfo,
                    6: AssetGroup assetGroup),
    Result makeEarnBack(1: string terminalId, 2: string sessionId, 3: string cardNumber,
                        4: i64 amount, 5: AdditionalAssetInfo additionalInfo,
                        6: AssetGroup assetGroup),
    Result makePay(1: string terminalId, 2: string sessionId, 3: string cardNumber,
                   4: i64 amount, 5: AdditionalAssetInfo additionalInfo),
    Result makePayBack(1: string terminalId, 2: string sessionId, 3: string cardNumber,
                       4: i64 amount, 5: AdditionalAssetInfo additionalInfo),
    Result commitTransaction(1: string terminalId, 2: string sessionId, 3: string cardNumber),
    Result rollbackTransaction(1: string terminalId, 2: string sessionId, 3: string cardNumber)
}

service AccountingAdminLogicService {
    list<Asset> getAssetList(1: string terminalId, 2: string cardNumber),
    list<Asset> getPageableAssetList(1: string terminalId, 2: string cardNumber,
                                     3: i32 pageNumber, 4: i32 pageSize,
                                     5: SortAssetsByField sortedByField, 6: bool ascending),
    AdminResult createTerminal(1: Terminal terminal),
    TerminalStatus getTerminalStatus(1: string terminalId),
    AdminResult blockTerminal(1: string terminalId),
    AdminResult activateTerminal(1: string terminalId),
    AdminResult createCard(1: string terminalId, 2: Card card),
    AdminResult cardExists(1: string terminalId, 2: Card card),
    AdminResult setCardStatus(1: string terminalId, 2: Card card, 3: CardStatus status),
    i32 getCardCount(1: string terminalId),
    list<Card> getCards(1: string terminalId, 2: i32 pageNumber, 3: i32 pageSize),
    AdminResult createActualBonusesTable(10: string terminalId),
    AdminResult updateActualBonusesOnCard(10: string terminalId),
    i64 getActualBonusesTableCount(10: string terminalId),
    list<BalanceOnDate> getActualBonuses(10: string terminalId, 20: i32 pageNumber,
                                         30: i32 pageSize),
    Card getCard(10: string terminalId, 20: string cardNumber),
    AdminResult setTransactionReason(10: string terminalId, 20: string sessionId,
                                     30: i32 transactionItem, 40: string reason),
    list<InternalMethod> getInternalMethods(10: string terminalId),
    AdminResult executeInternalMethod(10: string terminalId, 20: string nameOfMethod),
    list<AssetGroup> getAssetGroups(10: string terminalId, 20: i64 beginDateBiggerThan,
                                    30: i64 endDateLessThan, 40: i32 pageNumber,
                                    50: i32 pageSize),
    list<AssetGroup> getAssetGroupForCard(10: string terminalId, 20: string cardNumber),
    AdminResult changeAssetGroupParams(10: string terminalId, 20: string groupId,
                                       30: i64 beginShift, 40: i64 endShift, 50: i32 newWeight)
}
