#include "AccountingHandler.h"

#include "CardMask.h"
#include "Console.h"
#include "FailureLimiter.h"
#include "Ledger.h"
#include "LedgerError.h"
#include "LedgerReply.h"
#include "SimOptions.h"
#include "UnknownOutcome.h"

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

} // namespace

AccountingHandler::AccountingHandler(Ledger &ledger, const QStringList &terminals,
                                     std::shared_ptr<const Caller> caller, FailureLimiter &limiter)
    : m_ledger(ledger)
    , m_terminals(terminals)
    , m_caller(std::move(caller))
    , m_limiter(limiter)
{
}

void AccountingHandler::pay(Result &_return, const std::string &terminalId,
                            const std::string &sessionId, const std::string &cardNumber,
                            const int64_t amount, const AdditionalAssetInfo &)
{
    unsupported(
        _return,
        {QStringLiteral("pay"), text(terminalId), text(cardNumber), amount, text(sessionId)});
}

void AccountingHandler::cancel(Result &_return, const std::string &terminalId,
                               const std::string &sessionId, const int32_t)
{
    unsupported(_return, {QStringLiteral("cancel"), text(terminalId), {}, {}, text(sessionId)});
}

void AccountingHandler::back(Result &_return, const std::string &terminalId,
                             const std::string &sessionId, const std::string &cardNumber,
                             const int64_t amount, const AdditionalAssetInfo &)
{
    unsupported(
        _return,
        {QStringLiteral("back"), text(terminalId), text(cardNumber), amount, text(sessionId)});
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
                            const int64_t amount, const AdditionalAssetInfo &, const AssetGroup &)
{
    unsupported(
        _return,
        {QStringLiteral("add"), text(terminalId), text(cardNumber), amount, text(sessionId)});
}

void AccountingHandler::sub(Result &_return, const std::string &terminalId,
                            const std::string &sessionId, const std::string &cardNumber,
                            const int64_t amount, const AdditionalAssetInfo &, const AssetGroup &)
{
    unsupported(
        _return,
        {QStringLiteral("sub"), text(terminalId), text(cardNumber), amount, text(sessionId)});
}

void AccountingHandler::makeEarn(Result &_return, const std::string &terminalId,
                                 const std::string &sessionId, const std::string &cardNumber,
                                 const int64_t amount, const AdditionalAssetInfo &,
                                 const AssetGroup &)
{
    unsupported(
        _return,
        {QStringLiteral("makeEarn"), text(terminalId), text(cardNumber), amount, text(sessionId)});
}

void AccountingHandler::makeEarnBack(Result &_return, const std::string &terminalId,
                                     const std::string &sessionId, const std::string &cardNumber,
                                     const int64_t amount, const AdditionalAssetInfo &,
                                     const AssetGroup &)
{
    unsupported(_return,
                {QStringLiteral("makeEarnBack"), text(terminalId), text(cardNumber), amount,
                 text(sessionId)});
}

void AccountingHandler::makePay(Result &_return, const std::string &terminalId,
                                const std::string &sessionId, const std::string &cardNumber,
                                const int64_t amount, const AdditionalAssetInfo &additionalInfo)
{
    const Call call {QStringLiteral("makePay"), text(terminalId), text(cardNumber), amount,
                     text(sessionId)};
    serve(_return, call, [&] {
        return m_ledger.open(Ledger::Kind::Pay, call.terminal, *call.clientSession, *call.card,
                             amount, additionalInfo.dateFromCash);
    });
}

void AccountingHandler::makePayBack(Result &_return, const std::string &terminalId,
                                    const std::string &sessionId, const std::string &cardNumber,
                                    const int64_t amount, const AdditionalAssetInfo &additionalInfo)
{
    const Call call {QStringLiteral("makePayBack"), text(terminalId), text(cardNumber), amount,
                     text(sessionId)};
    serve(_return, call, [&] {
        return m_ledger.open(Ledger::Kind::PayBack, call.terminal, *call.clientSession, *call.card,
                             amount, additionalInfo.dateFromCash);
    });
}

void AccountingHandler::commitTransaction(Result &_return, const std::string &terminalId,
                                          const std::string &sessionId,
                                          const std::string &cardNumber)
{
    const Call call {QStringLiteral("commitTransaction"),
                     text(terminalId),
                     text(cardNumber),
                     {},
                     {},
                     text(sessionId)};
    serve(
        _return, call, [&] { return m_ledger.commit(call.terminal, call.session, *call.card); },
        Finds::Transaction);
}

void AccountingHandler::rollbackTransaction(Result &_return, const std::string &terminalId,
                                            const std::string &sessionId,
                                            const std::string &cardNumber)
{
    const Call call {QStringLiteral("rollbackTransaction"),
                     text(terminalId),
                     text(cardNumber),
                     {},
                     {},
                     text(sessionId)};
    serve(
        _return, call, [&] { return m_ledger.rollback(call.terminal, call.session, *call.card); },
        Finds::Transaction);
}

template<typename Work>
void AccountingHandler::serve(Result &_return, Call call, Work work, Finds finds)
{
    LedgerReply reply;
    QString note;
    const QString refusal = certificateRefusal(call.terminal, note);
    if (!refusal.isEmpty()) {
        reply.description = refusal;
    } else if (!knownTerminal(call.terminal)) {
        reply.description = QStringLiteral("Терминал не зарегистрирован");
    } else if (finds == Finds::Transaction && !m_limiter.allows(call.terminal, m_caller->peer)) {
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
            reply = work();
        } catch (const LedgerError &e) {
            // Not a refusal: the ledger rolled the request back, or cannot say
            // whether its commit went through. The till must treat it as no
            // answer; the operator reads the cause here.
            const QString unknown = QStringLiteral("Ошибка базы данных сервера");
            Result none;
            none.__set_description(unknown.toStdString());
            log(call, none, QString::fromUtf8(e.what()), note);
            throw UnknownOutcome {unknown.toStdString()};
        }
    }
    // Missing transactions are what guessing ids looks like, acknowledged
    // reversals of an unknown id among them.
    if (finds == Finds::Transaction && reply.matchedNothing)
        m_limiter.failed(call.terminal, m_caller->peer, call.session);
    fill(_return, reply);
    if (call.session.isEmpty())
        call.session = reply.sessionId;
    log(call, _return, {}, note);
    for (const QString &notice : reply.notices)
        Console::out(notice);
}

void AccountingHandler::unsupported(Result &_return, Call call)
{
    LedgerReply reply;
    reply.description = QStringLiteral("Метод не поддерживается");
    fill(_return, reply);
    log(call, _return, {}, {});
}

QString AccountingHandler::certificateRefusal(const QString &terminalId, QString &note) const
{
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

bool AccountingHandler::knownTerminal(const QString &terminalId) const
{
    // An empty id cannot own a transaction: refused even when any is accepted.
    return !terminalId.isEmpty() && (m_terminals.isEmpty() || m_terminals.contains(terminalId));
}

bool AccountingHandler::tooLong(const Call &call)
{
    const int most = SimOptions::maxFieldCharacters;
    return call.terminal.size() > most || (call.card && call.card->size() > most)
        || (call.clientSession && call.clientSession->size() > most) || call.session.size() > most;
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
                            const QString &note)
{
    const QString none = QStringLiteral("-");
    QString line = call.method;
    line += QStringLiteral(" terminal=") + field(call.terminal);
    line += QStringLiteral(" card=") + (call.card ? field(CardMask::shown(*call.card)) : none);
    line += QStringLiteral(" amount=") + (call.amount ? QString::number(*call.amount) : none);
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
