#include "AccountingHandler.h"

#include "CardMask.h"
#include "Console.h"
#include "FailureLimiter.h"
#include "LedgerError.h"
#include "LedgerReply.h"
#include "Metrics.h"
#include "SimOptions.h"
#include "TerminalRegistry.h"
#include "UnknownOutcome.h"

#include <chrono>

namespace {

QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

// Log values: "-" where the call has no such field, "" for an empty string.
QString field(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("\"\"") : value;
}

BonusGroup bonusGroup(const accounting::logic::thriftapi::AssetGroup &group)
{
    BonusGroup bonus;
    bonus.id = text(group.groupId);
    bonus.beginMs = group.beginDate;
    bonus.endMs = group.endDate;
    bonus.weight = group.weight;
    return bonus;
}

} // namespace

AccountingHandler::AccountingHandler(Ledger &ledger, TerminalRegistry &terminals, Metrics &metrics,
                                     const Policy &policy, std::shared_ptr<const Caller> caller,
                                     FailureLimiter &limiter)
    : m_ledger(ledger)
    , m_terminals(terminals)
    , m_metrics(metrics)
    , m_policy(policy)
    , m_caller(std::move(caller))
    , m_limiter(limiter)
{
}

void AccountingHandler::pay(Result &_return, const std::string &terminalId,
                            const std::string &sessionId, const std::string &cardNumber,
                            const int64_t amount, const AdditionalAssetInfo &additionalInfo)
{
    money(_return, "pay", true, Ledger::Kind::Pay, terminalId, sessionId, cardNumber, amount,
          additionalInfo, nullptr);
}

void AccountingHandler::cancel(Result &_return, const std::string &terminalId,
                               const std::string &sessionId, const int32_t status)
{
    Call call {QStringLiteral("cancel"), text(terminalId), {}, {}, {}, text(sessionId)};
    call.status = status;
    serve(
        _return, call, [&] { return m_ledger.cancel(call.terminal, call.session, status); },
        Finds::Transaction);
}

void AccountingHandler::back(Result &_return, const std::string &terminalId,
                             const std::string &sessionId, const std::string &cardNumber,
                             const int64_t amount, const AdditionalAssetInfo &additionalInfo)
{
    money(_return, "back", true, Ledger::Kind::PayBack, terminalId, sessionId, cardNumber, amount,
          additionalInfo, nullptr);
}

void AccountingHandler::balance(Result &_return, const std::string &terminalId,
                                const std::string &cardNumber)
{
    const QString card = text(cardNumber);
    serve(_return, {QStringLiteral("balance"), text(terminalId), card, {}, {}},
          [&] { return m_ledger.balance(card); });
}

void AccountingHandler::add(Result &_return, const std::string &terminalId,
                            const std::string &sessionId, const std::string &cardNumber,
                            const int64_t amount, const AdditionalAssetInfo &additionalInfo,
                            const AssetGroup &assetGroup)
{
    money(_return, "add", true, Ledger::Kind::Add, terminalId, sessionId, cardNumber, amount,
          additionalInfo, &assetGroup);
}

void AccountingHandler::sub(Result &_return, const std::string &terminalId,
                            const std::string &sessionId, const std::string &cardNumber,
                            const int64_t amount, const AdditionalAssetInfo &additionalInfo,
                            const AssetGroup &assetGroup)
{
    money(_return, "sub", true, Ledger::Kind::Sub, terminalId, sessionId, cardNumber, amount,
          additionalInfo, &assetGroup);
}

void AccountingHandler::makeEarn(Result &_return, const std::string &terminalId,
                                 const std::string &sessionId, const std::string &cardNumber,
                                 const int64_t amount, const AdditionalAssetInfo &additionalInfo,
                                 const AssetGroup &assetGroup)
{
    money(_return, "makeEarn", false, Ledger::Kind::Earn, terminalId, sessionId, cardNumber, amount,
          additionalInfo, &assetGroup);
}

void AccountingHandler::makeEarnBack(Result &_return, const std::string &terminalId,
                                     const std::string &sessionId, const std::string &cardNumber,
                                     const int64_t amount,
                                     const AdditionalAssetInfo &additionalInfo,
                                     const AssetGroup &assetGroup)
{
    money(_return, "makeEarnBack", false, Ledger::Kind::EarnBack, terminalId, sessionId, cardNumber,
          amount, additionalInfo, &assetGroup);
}

void AccountingHandler::makePay(Result &_return, const std::string &terminalId,
                                const std::string &sessionId, const std::string &cardNumber,
                                const int64_t amount, const AdditionalAssetInfo &additionalInfo)
{
    money(_return, "makePay", false, Ledger::Kind::Pay, terminalId, sessionId, cardNumber, amount,
          additionalInfo, nullptr);
}

void AccountingHandler::makePayBack(Result &_return, const std::string &terminalId,
                                    const std::string &sessionId, const std::string &cardNumber,
                                    const int64_t amount, const AdditionalAssetInfo &additionalInfo)
{
    money(_return, "makePayBack", false, Ledger::Kind::PayBack, terminalId, sessionId, cardNumber,
          amount, additionalInfo, nullptr);
}

void AccountingHandler::commitTransaction(Result &_return, const std::string &terminalId,
                                          const std::string &sessionId,
                                          const std::string &cardNumber)
{
    settle(_return, "commitTransaction", true, terminalId, sessionId, cardNumber);
}

void AccountingHandler::rollbackTransaction(Result &_return, const std::string &terminalId,
                                            const std::string &sessionId,
                                            const std::string &cardNumber)
{
    settle(_return, "rollbackTransaction", false, terminalId, sessionId, cardNumber);
}

void AccountingHandler::settle(Result &_return, const char *method, bool commit,
                               const std::string &terminalId, const std::string &sessionId,
                               const std::string &cardNumber)
{
    const Call call {
        QString::fromLatin1(method), text(terminalId), text(cardNumber), {}, {}, text(sessionId)};
    serve(
        _return, call,
        [&] {
            return commit ? m_ledger.commit(call.terminal, call.session, *call.card)
                          : m_ledger.rollback(call.terminal, call.session, *call.card);
        },
        Finds::Transaction);
}

void AccountingHandler::money(Result &_return, const char *method, bool atOnce, Ledger::Kind kind,
                              const std::string &terminalId, const std::string &sessionId,
                              const std::string &cardNumber, int64_t amount,
                              const AdditionalAssetInfo &info, const AssetGroup *group)
{
    Call call {QString::fromLatin1(method), text(terminalId), text(cardNumber), amount,
               text(sessionId)};
    const BonusGroup bonus = group ? bonusGroup(*group) : BonusGroup();
    if (group)
        call.group = bonus.id;
    serve(_return, call, [&] {
        return atOnce ? m_ledger.apply(kind, call.terminal, *call.clientSession, *call.card, amount,
                                       info.dateFromCash, bonus)
                      : m_ledger.open(kind, call.terminal, *call.clientSession, *call.card, amount,
                                      info.dateFromCash, bonus);
    });
}

template<typename Work>
void AccountingHandler::serve(Result &_return, Call call, Work work, Finds finds)
{
    const auto started = std::chrono::steady_clock::now();
    m_metrics.started(m_policy.service, call.method);
    LedgerReply reply;
    QString note;
    const QString refusal = certificateRefusal(call.terminal, note);
    if (!refusal.isEmpty()) {
        reply.description = refusal;
    } else if (call.terminal.isEmpty()) {
        // An empty id cannot own a transaction: refused even when any is accepted.
        reply.description = QStringLiteral("Терминал не зарегистрирован");
    } else if (finds == Finds::Transaction && !m_policy.operators
               && !m_limiter.allows(call.terminal, m_caller->peer)) {
        reply.description = QStringLiteral("Слишком много неудачных попыток, повторите позже");
    } else if (tooLong(call)) {
        reply.description = QStringLiteral("Слишком длинное значение в запросе");
    } else {
        // The deadline runs from the request's arrival: its wait for a
        // worker counts too.
        struct Arrival
        {
            explicit Arrival(Caller::Clock::time_point at) { Ledger::setRequestArrival(at); }
            ~Arrival() { Ledger::setRequestArrival({}); }
        } arrival(m_caller->received);
        try {
            reply.description = terminalRefusal(call.terminal);
            if (reply.description.isEmpty())
                reply = work();
        } catch (const LedgerError &e) {
            // Not a refusal: the ledger rolled the request back, or cannot say
            // whether its commit went through. The till must treat it as no
            // answer; the operator reads the cause here.
            const QString unknown = QStringLiteral("Ошибка базы данных сервера");
            Result none;
            none.__set_description(unknown.toStdString());
            log(call, none, QString::fromUtf8(e.what()), note);
            m_metrics.finished(m_policy.service, call.method, Metrics::Outcome::Error,
                               std::chrono::steady_clock::now() - started);
            throw UnknownOutcome {unknown.toStdString()};
        }
    }
    // Missing transactions are what guessing ids looks like, acknowledged
    // reversals of an unknown id among them.
    if (finds == Finds::Transaction && reply.matchedNothing && !m_policy.operators)
        m_limiter.failed(call.terminal, m_caller->peer, call.session);
    fill(_return, reply);
    if (call.session.isEmpty())
        call.session = reply.sessionId;
    log(call, _return, {}, note);
    for (const QString &notice : reply.notices)
        Console::out(notice);
    m_metrics.finished(m_policy.service, call.method,
                       reply.accepted ? Metrics::Outcome::Ok : Metrics::Outcome::Refused,
                       std::chrono::steady_clock::now() - started);
}

QString AccountingHandler::certificateRefusal(const QString &terminalId, QString &note) const
{
    if (m_policy.operators) {
        // An operator acts for any terminal, but must be one.
        if (m_caller->proof == Caller::Proof::Admin || !m_policy.certificates)
            return QString();
        note = QStringLiteral("no operator's certificate, peer %1").arg(m_caller->peer);
        return QStringLiteral("Нужен сертификат администратора");
    }
    switch (m_caller->proof) {
    case Caller::Proof::None:
        return QString();
    case Caller::Proof::Terminal:
        if (terminalId == m_caller->name)
            return QString();
        note = QStringLiteral("certificate terminal:%1, peer %2")
                   .arg(m_caller->name, m_caller->peer);
        return QStringLiteral("Терминал не совпадает с сертификатом");
    case Caller::Proof::Admin:
        note = QStringLiteral("certificate admin:%1, peer %2").arg(m_caller->name, m_caller->peer);
        break;
    case Caller::Proof::Other:
        note = QStringLiteral("certificate other:%1, peer %2").arg(m_caller->name, m_caller->peer);
        break;
    }
    return QStringLiteral("Сертификат не принадлежит терминалу");
}

QString AccountingHandler::terminalRefusal(const QString &terminalId) const
{
    if (m_policy.operators)
        return QString();
    switch (m_terminals.status(terminalId)) {
    case TerminalRegistry::Status::Active:
        return QString();
    case TerminalRegistry::Status::Blocked:
        return QStringLiteral("Терминал заблокирован");
    case TerminalRegistry::Status::NotFound:
        break;
    }
    return m_policy.registeredOnly ? QStringLiteral("Терминал не зарегистрирован") : QString();
}

bool AccountingHandler::tooLong(const Call &call)
{
    const int most = SimOptions::maxFieldCharacters;
    return call.terminal.size() > most || (call.card && call.card->size() > most)
        || (call.clientSession && call.clientSession->size() > most) || call.session.size() > most
        || (call.group && call.group->size() > most);
}

void AccountingHandler::fill(Result &_return, const LedgerReply &reply)
{
    _return.__set_success(reply.accepted);
    _return.__set_sessionId(reply.sessionId.toStdString());
    _return.__set_description(reply.description.toStdString());
    _return.__set_balance(reply.balance);
    _return.__set_balanceInactive(reply.balanceInactive);
}

void AccountingHandler::log(const Call &call, const Result &answer, const QString &failure,
                            const QString &note) const
{
    const QString none = QStringLiteral("-");
    // An operator's calls are told apart from the tills'.
    QString line = m_policy.operators ? QStringLiteral("admin ") + call.method : call.method;
    line += QStringLiteral(" terminal=") + field(call.terminal);
    line += QStringLiteral(" card=") + (call.card ? field(CardMask::shown(*call.card)) : none);
    line += QStringLiteral(" amount=") + (call.amount ? QString::number(*call.amount) : none);
    if (call.group)
        line += QStringLiteral(" group=") + (call.group->isEmpty() ? none : *call.group);
    if (call.status)
        line += QStringLiteral(" status=") + QString::number(*call.status);
    line += QStringLiteral(" session=") + (call.session.isEmpty() ? none : call.session);
    line += QStringLiteral(" clientSession=")
        + (call.clientSession ? field(*call.clientSession) : none);
    line += QStringLiteral(" outcome=")
        + (answer.success
               ? QStringLiteral("ok")
               : (failure.isEmpty() ? QStringLiteral("refused") : QStringLiteral("error")));
    line += QStringLiteral(" balance=")
        + (failure.isEmpty() ? QString::number(answer.balance) : none);
    line += QStringLiteral(" description=") + text(answer.description);
    if (!failure.isEmpty())
        line += QStringLiteral(" (") + failure + QLatin1Char(')');
    if (!note.isEmpty())
        line += QStringLiteral(" (") + note + QLatin1Char(')');
    Console::out(line);
}
