#include "AdminHandler.h"

#include "AssetBook.h"
#include "BalanceSnapshots.h"
#include "BonusLots.h"
#include "CardMask.h"
#include "CardRegistry.h"
#include "Console.h"
#include "Ledger.h"
#include "LedgerError.h"
#include "Metrics.h"
#include "PendingSweeper.h"
#include "SimOptions.h"
#include "TerminalRegistry.h"
#include "UnknownOutcome.h"

#include <chrono>
#include <stdexcept>

using namespace accounting::logic::thriftapi;

namespace {

const auto service = QStringLiteral("admin");
// The terminal methods name no operator.
const std::string noOperator = "-";

struct Internal
{
    const char *name;
    const char *description;
};

// What executeInternalMethod runs. Each run is logged.
const Internal internalMethods[] = {
    {"expire",
     "Rolls back the transactions pending past their time to live, activates and"
     " expires the bonus that is due and forgets reversals older than a day, now"
     " rather than at the next sweep."},
    {"snapshot", "Brings the table of balances up to date, as updateActualBonusesOnCard."},
    {"checkpoint",
     "Moves a SQLite ledger's write-ahead log into the ledger file and empties"
     " it; nothing to do on MariaDB."},
};

QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

// Log values: "" for an empty string.
QString field(const std::string &value)
{
    return value.empty() ? QStringLiteral("\"\"") : text(value);
}

// Card numbers as the log shows them (CardMask).
QString cardField(const std::string &number)
{
    return number.empty() ? QStringLiteral("\"\"") : CardMask::shown(text(number));
}

[[noreturn]] void refuse(const QString &reason)
{
    throw std::invalid_argument(reason.toStdString());
}

// Why an id cannot be used; empty when it can.
QString badId(const std::string &id, const QString &what)
{
    if (id.empty())
        return QStringLiteral("Пустой идентификатор: ") + what;
    if (text(id).size() > SimOptions::maxFieldCharacters)
        return QStringLiteral("Слишком длинное значение в запросе");
    return QString();
}

AssetGroup assetGroup(const BonusGroup &group)
{
    AssetGroup result;
    result.__set_groupId(group.id.toStdString());
    result.__set_beginDate(group.beginMs);
    result.__set_endDate(group.endMs);
    result.__set_weight(group.weight);
    return result;
}

QString pageArguments(int32_t page, int32_t size)
{
    return QStringLiteral("page=%1 size=%2").arg(page).arg(size);
}

} // namespace

AdminHandler::AdminHandler(const Parts &parts, std::shared_ptr<const Caller> caller,
                           bool certificates)
    : m_parts(parts)
    , m_caller(std::move(caller))
    , m_certificates(certificates)
{
}

void AdminHandler::getAssetList(std::vector<Asset> &_return, const std::string &terminalId,
                                const std::string &cardNumber)
{
    serve("getAssetList", terminalId, QStringLiteral("card=") + cardField(cardNumber),
          [&](Outcome &outcome) {
              assets(_return, text(cardNumber), SortAssetsByField::ID, true, 0,
                     SimOptions::maxAssetList, true);
              outcome.summary = QStringLiteral("items=%1").arg(_return.size());
          });
}

void AdminHandler::getPageableAssetList(std::vector<Asset> &_return, const std::string &terminalId,
                                        const std::string &cardNumber, const int32_t pageNumber,
                                        const int32_t pageSize,
                                        const SortAssetsByField::type sortedByField,
                                        const bool ascending)
{
    const QString arguments = QStringLiteral("card=%1 %2 sort=%3 ascending=%4")
                                  .arg(cardField(cardNumber), pageArguments(pageNumber, pageSize))
                                  .arg(int(sortedByField))
                                  .arg(ascending ? QStringLiteral("yes") : QStringLiteral("no"));
    serve("getPageableAssetList", terminalId, arguments, [&](Outcome &outcome) {
        assets(_return, text(cardNumber), int(sortedByField), ascending,
               offset(pageNumber, pageSize), pageSize, false);
        outcome.summary = QStringLiteral("items=%1").arg(_return.size());
    });
}

void AdminHandler::createTerminal(AdminResult &_return, const Terminal &terminal)
{
    change(_return, "createTerminal", noOperator,
           QStringLiteral("terminal=%1 blocked=%2")
               .arg(field(terminal.id),
                    terminal.blocked ? QStringLiteral("yes") : QStringLiteral("no")),
           [&](QString &description) {
               description = badId(terminal.id, QStringLiteral("терминал"));
               return description.isEmpty()
                   && m_parts.terminals.create(text(terminal.id), terminal.blocked, description);
           });
}

TerminalStatus::type AdminHandler::getTerminalStatus(const std::string &terminalId)
{
    TerminalStatus::type status = TerminalStatus::NOT_FOUND;
    serve("getTerminalStatus", noOperator, QStringLiteral("terminal=") + field(terminalId),
          [&](Outcome &outcome) {
              if (!badId(terminalId, QString()).isEmpty())
                  refuse(badId(terminalId, QStringLiteral("терминал")));
              status = TerminalStatus::type(int(m_parts.terminals.status(text(terminalId))));
              outcome.summary = QStringLiteral("status=")
                  + QString::fromLatin1(_TerminalStatus_VALUES_TO_NAMES.at(status));
          });
    return status;
}

void AdminHandler::blockTerminal(AdminResult &_return, const std::string &terminalId)
{
    change(_return, "blockTerminal", noOperator, QStringLiteral("terminal=") + field(terminalId),
           [&](QString &description) {
               description = badId(terminalId, QStringLiteral("терминал"));
               return description.isEmpty()
                   && m_parts.terminals.setBlocked(text(terminalId), true, description);
           });
}

void AdminHandler::activateTerminal(AdminResult &_return, const std::string &terminalId)
{
    change(_return, "activateTerminal", noOperator, QStringLiteral("terminal=") + field(terminalId),
           [&](QString &description) {
               description = badId(terminalId, QStringLiteral("терминал"));
               return description.isEmpty()
                   && m_parts.terminals.setBlocked(text(terminalId), false, description);
           });
}

void AdminHandler::createCard(AdminResult &_return, const std::string &terminalId, const Card &card)
{
    change(
        _return, "createCard", terminalId,
        QStringLiteral("card=%1 status=%2").arg(cardField(card.cardNumber)).arg(int(card.status)),
        [&](QString &description) {
            description = badId(card.cardNumber, QStringLiteral("карта"));
            if (description.isEmpty() && (card.status < 0 || card.status > 3))
                description = QStringLiteral("Неизвестное состояние карты %1").arg(card.status);
            return description.isEmpty()
                && m_parts.cards.create(text(card.cardNumber),
                                        CardRegistry::State(int(card.status)), text(terminalId),
                                        description);
        });
}

void AdminHandler::cardExists(AdminResult &_return, const std::string &terminalId, const Card &card)
{
    serve("cardExists", terminalId, QStringLiteral("card=") + cardField(card.cardNumber),
          [&](Outcome &outcome) {
              const bool exists = m_parts.cards.state(text(card.cardNumber)).has_value();
              const QString description
                  = exists ? QStringLiteral("Карта есть") : QStringLiteral("Карта не найдена");
              _return.__set_success(exists);
              _return.__set_description(description.toStdString());
              outcome.summary
                  = QStringLiteral("exists=%1 description=%2")
                        .arg(exists ? QStringLiteral("yes") : QStringLiteral("no"), description);
          });
}

void AdminHandler::setCardStatus(AdminResult &_return, const std::string &terminalId,
                                 const Card &card, const CardStatus::type status)
{
    change(_return, "setCardStatus", terminalId,
           QStringLiteral("card=%1 status=%2").arg(cardField(card.cardNumber)).arg(int(status)),
           [&](QString &description) {
               if (status < 0 || status > 3) {
                   description = QStringLiteral("Неизвестное состояние карты %1").arg(status);
                   return false;
               }
               return m_parts.cards.setState(text(card.cardNumber),
                                             CardRegistry::State(int(status)), text(terminalId),
                                             description);
           });
}

int32_t AdminHandler::getCardCount(const std::string &terminalId)
{
    qint64 count = 0;
    serve("getCardCount", terminalId, {}, [&](Outcome &outcome) {
        count = m_parts.cards.count();
        outcome.summary = QStringLiteral("count=%1").arg(count);
    });
    // The interface counts in 32 bits; getCards pages through any number.
    return int32_t(std::min<qint64>(count, INT32_MAX));
}

void AdminHandler::getCards(std::vector<Card> &_return, const std::string &terminalId,
                            const int32_t pageNumber, const int32_t pageSize)
{
    serve("getCards", terminalId, pageArguments(pageNumber, pageSize), [&](Outcome &outcome) {
        for (const auto &found : m_parts.cards.page(offset(pageNumber, pageSize), pageSize)) {
            Card card;
            card.__set_cardNumber(found.first.toStdString());
            card.__set_status(CardStatus::type(int(found.second)));
            _return.push_back(card);
        }
        outcome.summary = QStringLiteral("items=%1").arg(_return.size());
    });
}

void AdminHandler::createActualBonusesTable(AdminResult &_return, const std::string &terminalId)
{
    change(_return, "createActualBonusesTable", terminalId, {}, [&](QString &description) {
        description = QStringLiteral("Снимок остатков: карт %1").arg(m_parts.snapshots.make());
        return true;
    });
}

void AdminHandler::updateActualBonusesOnCard(AdminResult &_return, const std::string &terminalId)
{
    change(_return, "updateActualBonusesOnCard", terminalId, {}, [&](QString &description) {
        description = QStringLiteral("Остатки обновлены: карт %1").arg(m_parts.snapshots.refresh());
        return true;
    });
}

int64_t AdminHandler::getActualBonusesTableCount(const std::string &terminalId)
{
    qint64 count = 0;
    serve("getActualBonusesTableCount", terminalId, {}, [&](Outcome &outcome) {
        count = m_parts.snapshots.count();
        outcome.summary = QStringLiteral("count=%1").arg(count);
    });
    return count;
}

void AdminHandler::getActualBonuses(std::vector<BalanceOnDate> &_return,
                                    const std::string &terminalId, const int32_t pageNumber,
                                    const int32_t pageSize)
{
    serve(
        "getActualBonuses", terminalId, pageArguments(pageNumber, pageSize), [&](Outcome &outcome) {
            for (const auto &row : m_parts.snapshots.page(offset(pageNumber, pageSize), pageSize)) {
                BalanceOnDate balance;
                balance.__set_cardNumber(row.card.toStdString());
                balance.__set_date(row.atMs);
                balance.__set_balance(row.balance);
                _return.push_back(balance);
            }
            outcome.summary = QStringLiteral("items=%1").arg(_return.size());
        });
}

void AdminHandler::getCard(Card &_return, const std::string &terminalId,
                           const std::string &cardNumber)
{
    serve("getCard", terminalId, QStringLiteral("card=") + cardField(cardNumber),
          [&](Outcome &outcome) {
              const auto state = m_parts.cards.state(text(cardNumber));
              if (!state)
                  refuse(QStringLiteral("Карта не найдена"));
              _return.__set_cardNumber(cardNumber);
              _return.__set_status(CardStatus::type(int(*state)));
              outcome.summary = QStringLiteral("status=") + CardRegistry::name(*state);
          });
}

void AdminHandler::setTransactionReason(AdminResult &_return, const std::string &terminalId,
                                        const std::string &sessionId, const int32_t transactionItem,
                                        const std::string &reason)
{
    change(_return, "setTransactionReason", terminalId,
           QStringLiteral("session=%1 item=%2 reason=%3")
               .arg(field(sessionId))
               .arg(transactionItem)
               .arg(field(reason)),
           [&](QString &description) {
               description = badId(sessionId, QStringLiteral("транзакция"));
               if (description.isEmpty())
                   description = badId(reason, QStringLiteral("причина"));
               return description.isEmpty()
                   && m_parts.assets.setReason(text(sessionId), transactionItem, text(terminalId),
                                               text(reason), description);
           });
}

void AdminHandler::getInternalMethods(std::vector<InternalMethod> &_return,
                                      const std::string &terminalId)
{
    serve("getInternalMethods", terminalId, {}, [&](Outcome &outcome) {
        for (const Internal &internal : internalMethods) {
            InternalMethod method;
            method.__set_name(internal.name);
            method.__set_description(internal.description);
            _return.push_back(method);
        }
        outcome.summary = QStringLiteral("items=%1").arg(_return.size());
    });
}

void AdminHandler::executeInternalMethod(AdminResult &_return, const std::string &terminalId,
                                         const std::string &nameOfMethod)
{
    change(
        _return, "executeInternalMethod", terminalId,
        QStringLiteral("method=") + field(nameOfMethod), [&](QString &description) {
            const QString name = text(nameOfMethod);
            if (name == QLatin1String("expire")) {
                const PendingSweeper::Swept swept = m_parts.sweeper.sweepNow();
                description = QStringLiteral("Отменено просроченных транзакций: %1; бонусов"
                                             " активировано: %2, сгорело: %3; забыто отмен: %4")
                                  .arg(swept.rolledBack)
                                  .arg(swept.activated)
                                  .arg(swept.expired)
                                  .arg(swept.forgotten);
                return true;
            }
            if (name == QLatin1String("snapshot")) {
                description
                    = QStringLiteral("Остатки обновлены: карт %1").arg(m_parts.snapshots.refresh());
                return true;
            }
            if (name == QLatin1String("checkpoint")) {
                if (m_parts.ledger.mariaDb()) {
                    description = QStringLiteral("MariaDB ведёт свой журнал: переносить нечего");
                    return true;
                }
                QVector<QVariantList> result;
                m_parts.ledger.read([&] {
                    result
                        = Ledger::select(QStringLiteral("cannot checkpoint the ledger"),
                                         QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"), {}, 3);
                });
                // Busy: a reader or writer held on to the log; try again later.
                const bool busy = result.isEmpty() || result.first().at(0).toInt() != 0;
                description = busy ? QStringLiteral("Журнал перенесён не полностью: леджер"
                                                    " занят, повторите позже")
                                   : QStringLiteral("Журнал перенесён в файл леджера");
                return !busy;
            }
            description = QStringLiteral("Нет такого внутреннего метода: ") + name;
            return false;
        });
}

void AdminHandler::getAssetGroups(std::vector<AssetGroup> &_return, const std::string &terminalId,
                                  const int64_t beginDateBiggerThan, const int64_t endDateLessThan,
                                  const int32_t pageNumber, const int32_t pageSize)
{
    serve("getAssetGroups", terminalId,
          QStringLiteral("beginsAfter=%1 endsBefore=%2 %3")
              .arg(beginDateBiggerThan)
              .arg(endDateLessThan)
              .arg(pageArguments(pageNumber, pageSize)),
          [&](Outcome &outcome) {
              for (const BonusGroup &group :
                   m_parts.lots.groups(beginDateBiggerThan, endDateLessThan,
                                       offset(pageNumber, pageSize), pageSize))
                  _return.push_back(assetGroup(group));
              outcome.summary = QStringLiteral("items=%1").arg(_return.size());
          });
}

void AdminHandler::getAssetGroupForCard(std::vector<AssetGroup> &_return,
                                        const std::string &terminalId,
                                        const std::string &cardNumber)
{
    serve("getAssetGroupForCard", terminalId, QStringLiteral("card=") + cardField(cardNumber),
          [&](Outcome &outcome) {
              if (!m_parts.cards.state(text(cardNumber)))
                  refuse(QStringLiteral("Карта не найдена"));
              for (const BonusGroup &group : m_parts.lots.groupsOf(text(cardNumber)))
                  _return.push_back(assetGroup(group));
              outcome.summary = QStringLiteral("items=%1").arg(_return.size());
          });
}

void AdminHandler::changeAssetGroupParams(AdminResult &_return, const std::string &terminalId,
                                          const std::string &groupId, const int64_t beginShift,
                                          const int64_t endShift, const int32_t newWeight)
{
    change(_return, "changeAssetGroupParams", terminalId,
           QStringLiteral("group=%1 beginShift=%2 endShift=%3 weight=%4")
               .arg(field(groupId))
               .arg(beginShift)
               .arg(endShift)
               .arg(newWeight),
           [&](QString &description) {
               description = badId(groupId, QStringLiteral("группа бонусов"));
               return description.isEmpty()
                   && m_parts.lots.change(text(groupId), beginShift, endShift, newWeight,
                                          description);
           });
}

template<typename Work>
void AdminHandler::serve(const char *method, const std::string &by, const QString &arguments,
                         Work work)
{
    const auto started = std::chrono::steady_clock::now();
    const QString name = QString::fromLatin1(method);
    m_parts.metrics.started(service, name);
    Outcome outcome;
    // A certificate names the operator; without one, the call does.
    const bool proven = m_caller->proof == Caller::Proof::Admin;
    const QString who = proven ? QStringLiteral("admin:") + m_caller->name : field(by);
    const auto finish = [&](const QString &result, Metrics::Outcome counted) {
        QString line = QStringLiteral("admin ") + name + QStringLiteral(" by=") + who;
        if (!arguments.isEmpty())
            line += QLatin1Char(' ') + arguments;
        line += QStringLiteral(" outcome=") + result;
        if (!outcome.summary.isEmpty())
            line += QLatin1Char(' ') + outcome.summary;
        Console::out(line);
        m_parts.metrics.finished(service, name, counted,
                                 std::chrono::steady_clock::now() - started);
    };
    try {
        if (m_certificates && !proven)
            refuse(QStringLiteral("Нужен сертификат администратора (%1)")
                       .arg(m_caller->proof == Caller::Proof::None
                                ? QStringLiteral("его нет")
                                : QStringLiteral("предъявлен ") + m_caller->name));
        work(outcome);
    } catch (const std::invalid_argument &e) {
        outcome.summary = QStringLiteral("description=") + QString::fromUtf8(e.what());
        finish(QStringLiteral("refused"), Metrics::Outcome::Refused);
        throw;
    } catch (const LedgerError &e) {
        const QString unknown = QStringLiteral("Ошибка базы данных сервера");
        outcome.summary
            = QStringLiteral("description=%1 (%2)").arg(unknown, QString::fromUtf8(e.what()));
        finish(QStringLiteral("error"), Metrics::Outcome::Error);
        throw UnknownOutcome {unknown.toStdString()};
    }
    finish(outcome.refused ? QStringLiteral("refused") : QStringLiteral("ok"),
           outcome.refused ? Metrics::Outcome::Refused : Metrics::Outcome::Ok);
}

template<typename Change>
void AdminHandler::change(AdminResult &_return, const char *method, const std::string &by,
                          const QString &arguments, Change change)
{
    serve(method, by, arguments, [&](Outcome &outcome) {
        QString description;
        const bool done = change(description);
        _return.__set_success(done);
        _return.__set_description(description.toStdString());
        outcome.refused = !done;
        outcome.summary = QStringLiteral("description=") + description;
    });
}

qint64 AdminHandler::offset(int32_t page, int32_t size)
{
    if (page < 0)
        refuse(QStringLiteral("Номер страницы считается от 0, получено %1").arg(page));
    if (size < 1 || size > SimOptions::maxPageSize)
        refuse(QStringLiteral("Размер страницы от 1 до %1, получено %2")
                   .arg(SimOptions::maxPageSize)
                   .arg(size));
    return qint64(page) * size;
}

void AdminHandler::assets(std::vector<Asset> &_return, const QString &card, int sort,
                          bool ascending, qint64 offset, int limit, bool whole)
{
    if (sort < 0 || sort > 3)
        refuse(QStringLiteral("Неизвестное поле сортировки %1").arg(sort));
    QVector<AssetBook::Asset> found;
    qint64 total = 0;
    if (!m_parts.assets.list(card, AssetBook::Sort(sort), ascending, offset, limit, found, total))
        refuse(QStringLiteral("Карта не найдена"));
    if (whole && total > found.size())
        refuse(QStringLiteral("У карты %1 транзакций, больше %2: просите их постранично")
                   .arg(total)
                   .arg(limit));
    for (const AssetBook::Asset &item : found) {
        Terminal terminal;
        terminal.__set_id(item.terminal.toStdString());
        terminal.__set_blocked(item.terminalBlocked);
        Asset asset;
        asset.__set_id(item.id.toStdString());
        asset.__set_amount(item.amount);
        asset.__set_status(item.status);
        asset.__set_time(item.timeMs);
        asset.__set_terminal(terminal);
        std::vector<TransactionStatus> statuses;
        for (const AssetBook::Change &change : item.changes) {
            Terminal by;
            by.__set_id(change.terminal.toStdString());
            by.__set_blocked(change.terminal == item.terminal && item.terminalBlocked);
            TransactionStatus status;
            status.__set_terminal(by);
            status.__set_status(change.status);
            status.__set_date(change.atMs);
            status.__set_reason(change.reason.toStdString());
            statuses.push_back(status);
        }
        asset.__set_transactionStatuses(statuses);
        AdditionalAssetInfo info;
        info.__set_dateFromCash(item.dateFromCash);
        asset.__set_additionalInfo(info);
        asset.__set_assetGroup(assetGroup(item.group));
        _return.push_back(asset);
    }
}
