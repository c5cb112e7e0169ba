#include "VeltaBonusClientThrift.h"

#include "AccountingLogicService.h"
#include "BonusServerUnavailable.h"
#include "BonusSettings.h"
#include "CardNumberMask.h"
#include "Clock.h"
#include "Limits.h"
#include "Logger.h"
#include "ThriftSSLSocketFactory.h"
#include "ThriftSimpleSocketFactory.h"
#include "ThriftTransportProvider.h"
#include "ThriftTransportWrapper.h"
#include "TillPaths.h"

#include <QByteArray>

#include <thrift/Thrift.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

namespace api = accounting::logic::thriftapi;

namespace {
// Requests are a few hundred bytes, replies rarely more.
const uint32_t requestBufferBytes = 1024;
const uint32_t replyBufferBytes = 4096;

// What QDateTime::toTime_t() answers for a moment it cannot represent.
const qint64 outOfRangeSeconds = 0xFFFFFFFFLL;

QString fromWire(const std::string &text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

std::string toWire(const QString &text)
{
    return text.toUtf8().toStdString();
}

// The protocol every call speaks on a transport: binary, buffered, with the
// reply limits.
std::shared_ptr<apache::thrift::protocol::TProtocol>
protocolOn(std::shared_ptr<apache::thrift::transport::TTransport> transport)
{
    // Strict write, lenient read; a declared length beyond the limit is a
    // protocol error, never an allocation. The buffer makes a request one
    // send and a reply a recv or two; the bytes on the wire are the same.
    apache::thrift::protocol::TBinaryProtocolFactoryT<apache::thrift::transport::TTransport>
        protocolFactory(Limits::maxReplyBytes, Limits::maxReplyBytes, false, true);
    const auto configuration = transport->getConfiguration();
    return protocolFactory.getProtocol(
        std::make_shared<apache::thrift::transport::TBufferedTransport>(
            std::move(transport), replyBufferBytes, requestBufferBytes, configuration));
}
} // namespace

struct VeltaBonusClientThrift::Private
{
    Private()
        : logger("veltabonus")
    {
    }

    Logger logger;
    std::shared_ptr<ThriftSocketFactory> socketFactory;
    // Owned by the client, as its QObject child.
    ThriftTransportProvider *provider = nullptr;
    QString terminalId;
    bool tls = false;
};

VeltaBonusClientThrift::VeltaBonusClientThrift(QObject *parent)
    : VeltaBonusClientThrift(BonusSettings::read(TillPaths::settingsFile()), parent)
{
}

VeltaBonusClientThrift::VeltaBonusClientThrift(const BonusSettings &settings, QObject *parent)
    : QObject(parent)
    , d(new Private)
{
    // Plain TCP unless the settings name TLS files.
    if (settings.hasTls() && settings.isUsable()) {
        auto factory = std::make_shared<ThriftSSLSocketFactory>();
        factory->setTrustedCertificate(settings.tls().caFile);
        factory->setClientCertificate(settings.tls().certFile);
        factory->setPrivateKey(settings.tls().keyFile);
        factory->setServerName(settings.tls().serverName);
        d->socketFactory = factory;
        d->tls = true;
    } else {
        d->socketFactory = std::make_shared<ThriftSimpleSocketFactory>();
    }
    d->provider = new ThriftTransportProvider(d->socketFactory, this);

    switch (settings.state()) {
    case BonusSettings::State::Missing:
    case BonusSettings::State::Unreadable: {
        const QString message = QStringLiteral("Файл с настройками не найден");
        d->logger.error(message);
        throw BonusSystemError(message, BonusSystemError::Kind::Settings);
    }
    case BonusSettings::State::TooLarge:
    case BonusSettings::State::NotJson:
        throw BonusSystemError(QStringLiteral("Ошибка в файле настроек"),
                               BonusSystemError::Kind::Settings);
    case BonusSettings::State::Read:
        break;
    }
    // Values the engine would refuse read as missing here; the engine
    // checks the file before any money moves.

    setTerminalId(settings.text(QStringLiteral("terminalId")));
    // The list of servers, tried in order, or the one address and port.
    const QList<BonusSettings::Server> servers = settings.servers();
    if (servers.isEmpty()) {
        setAddresses(settings.text(QStringLiteral("address")),
                     settings.integer(QStringLiteral("port")));
    }
    for (const BonusSettings::Server &server : servers)
        setAddresses(server.address, server.port);
    // A limit left out (or 0) would let a silent server hold the till forever.
    const auto limit = [&](const char *key, int fallback) {
        const int value = settings.integer(QLatin1String(key));
        return value > 0 ? value : fallback;
    };
    setConnectTimeout(limit("connectTimeout", Limits::defaultConnectMs));
    setRecvTimeout(limit("recvTimeout", Limits::defaultReceiveMs));
    setSendTimeout(limit("sendTimeout", Limits::defaultSendMs));
    d->provider->setKeepAlive(settings.keepAliveSeconds());
}

VeltaBonusClientThrift::~VeltaBonusClientThrift() = default;

VeltaBonusClientThrift::TimeLimitScope::TimeLimitScope(VeltaBonusClientThrift &client)
    : provider(client.d->provider)
    , connect(provider->getConnectTimeout())
    , receive(provider->getReceiveTimeout())
    , send(provider->getSendTimeout())
{
}

VeltaBonusClientThrift::TimeLimitScope::~TimeLimitScope()
{
    restore();
}

void VeltaBonusClientThrift::TimeLimitScope::cap(qint64 ms)
{
    const auto capped = [ms](int limit) { return int(limit > 0 ? qMin<qint64>(limit, ms) : ms); };
    provider->setConnectTimeout(capped(connect));
    provider->setReceiveTimeout(capped(receive));
    provider->setSendTimeout(capped(send));
}

void VeltaBonusClientThrift::TimeLimitScope::restore()
{
    provider->setConnectTimeout(connect);
    provider->setReceiveTimeout(receive);
    provider->setSendTimeout(send);
}

QString VeltaBonusClientThrift::getTerminalId() const
{
    return d->terminalId;
}

int VeltaBonusClientThrift::connectTimeout() const
{
    return d->provider->getConnectTimeout();
}

int VeltaBonusClientThrift::receiveTimeout() const
{
    return d->provider->getReceiveTimeout();
}

QStringList VeltaBonusClientThrift::servers() const
{
    return d->provider->hosts();
}

bool VeltaBonusClientThrift::usesTls() const
{
    return d->tls;
}

ServerProbe VeltaBonusClientThrift::probe(int index, const QString &cardNumber)
{
    const QString server = servers().value(index);
    const int colon = server.lastIndexOf(QLatin1Char(':'));
    // A provider of its own: the server is asked alone, and its failure
    // counts against nothing the next operation reads.
    ThriftTransportProvider single(d->socketFactory);
    single.setConnectTimeout(d->provider->getConnectTimeout());
    single.setReceiveTimeout(d->provider->getReceiveTimeout());
    single.setSendTimeout(d->provider->getSendTimeout());
    std::shared_ptr<ThriftTransportWrapper> transport;
    try {
        transport = single.getTransport(server.left(colon), server.mid(colon + 1).toInt());
        api::AccountingLogicServiceClient service(protocolOn(transport));
        api::Result result;
        service.balance(result, toWire(d->terminalId), toWire(cardNumber));
        transport->close();
        if (!result.success)
            return ServerProbe(server, ServerProbe::Outcome::Refused, fromWire(result.description));
        return ServerProbe(server, ServerProbe::Outcome::Answered, QString(),
                           fromLongLong(result.balance));
    } catch (const std::exception &e) {
        // Thrift's texts are UTF-8 (or ASCII); the provider's are the
        // cashier's, made from UTF-8 as well.
        const QString reason = QString::fromUtf8(e.what());
        d->logger.error(QStringLiteral("Ошибка thift: ") + reason);
        if (transport) {
            try {
                transport->close();
            } catch (const std::exception &closeError) {
                d->logger.error(QStringLiteral("Ошибка thift: ")
                                + QString::fromUtf8(closeError.what()));
            }
        }
        return ServerProbe(server, ServerProbe::Outcome::Unreachable, reason);
    }
}

BalanceResponse VeltaBonusClientThrift::balance(const QString &cardNumber)
{
    d->logger.info(QStringLiteral("Получение баланса по протоколу thrift"));
    CardNumberMask::remember(cardNumber);
    d->logger.info(QStringLiteral("Терминал: ") + d->terminalId + QStringLiteral(" карта: ")
                   + cardNumber);

    const std::string wireTerminal = toWire(d->terminalId);
    const std::string wireCard = toWire(cardNumber);
    const api::Result result = callMethod(
        d->provider,
        [&](api::AccountingLogicServiceClient &client, api::Result &answer) {
            client.balance(answer, wireTerminal, wireCard);
        },
        true);
    return interpretBalance(result);
}

BalanceResponse VeltaBonusClientThrift::interpretBalance(const api::Result &result)
{
    if (!result.success) {
        const QString description = fromWire(result.description);
        d->logger.info(QStringLiteral("Ошибка бонусного сервера :") + description);
        throw BonusSystemError(description);
    }

    BalanceResponse response;
    response.balance = fromLongLong(result.balance);
    response.balanceInactive = fromLongLong(result.balanceInactive);
    d->logger.info(QStringLiteral("Баланс на карте ") + QString::number(response.balance, 'g', 6));
    d->logger.info(QStringLiteral("Неактивный баланс на карте ")
                   + QString::number(response.balanceInactive, 'g', 6));
    return response;
}

BalanceResponse VeltaBonusClientThrift::decodeBalanceReply(const QByteArray &reply)
{
    return interpretBalance(readReply(Reply::Balance, reply));
}

BonusResult VeltaBonusClientThrift::decodeReply(Reply call, const QByteArray &reply)
{
    return interpretResult(readReply(call, reply));
}

api::Result VeltaBonusClientThrift::readReply(Reply call, const QByteArray &reply)
{
    api::Result result;
    try {
        auto input = std::make_shared<apache::thrift::transport::TMemoryBuffer>(
            reinterpret_cast<uint8_t *>(const_cast<char *>(reply.constData())),
            uint32_t(reply.size()), apache::thrift::transport::TMemoryBuffer::OBSERVE);
        api::AccountingLogicServiceClient client(protocolOn(input));
        switch (call) {
        case Reply::Balance:
            client.recv_balance(result);
            break;
        case Reply::MakePay:
            client.recv_makePay(result);
            break;
        case Reply::MakePayBack:
            client.recv_makePayBack(result);
            break;
        case Reply::Commit:
            client.recv_commitTransaction(result);
            break;
        case Reply::Rollback:
            client.recv_rollbackTransaction(result);
            break;
        }
    } catch (const apache::thrift::TException &e) {
        d->logger.error(QStringLiteral("Ошибка thift: ") + QString::fromUtf8(e.what()));
        throw BonusServerUnavailable(QStringLiteral("Бонусный сервер не доступен"));
    }
    return result;
}

BonusResult VeltaBonusClientThrift::makePay(const CardFlow &flow, AdditionalAssetInfo &info)
{
    return makePay(flow, info, transactionId(Clock::currentDateTime(), flow.amount));
}

BonusResult VeltaBonusClientThrift::makePayBack(const CardFlow &flow, AdditionalAssetInfo &info)
{
    return makePayBack(flow, info, transactionId(Clock::currentDateTime(), flow.amount));
}

BonusResult VeltaBonusClientThrift::makePay(const CardFlow &flow, AdditionalAssetInfo &info,
                                            const QString &transactionId)
{
    return makeTransaction(QStringLiteral("Создание транзакции по оплате по протоколу thrift"),
                           false, flow, info, transactionId);
}

BonusResult VeltaBonusClientThrift::makePayBack(const CardFlow &flow, AdditionalAssetInfo &info,
                                                const QString &transactionId)
{
    return makeTransaction(QStringLiteral("Возврат по протоколу thrift"), true, flow, info,
                           transactionId);
}

BonusResult VeltaBonusClientThrift::commit(const QString &sessionId, const CardFlow &flow)
{
    d->logger.info(
        QStringLiteral("Закрытие транзакции подтверждением операции по протоколу thrift"));
    d->logger.info(QStringLiteral("Терминал: ") + d->terminalId + QStringLiteral("сессия: ")
                   + sessionId);

    const std::string wireTerminal = toWire(d->terminalId);
    const std::string wireSession = toWire(sessionId);
    const std::string wireCard = toWire(flow.cardNumber);
    const api::Result result = callMethod(
        d->provider, [&](api::AccountingLogicServiceClient &client, api::Result &answer) {
            client.commitTransaction(answer, wireTerminal, wireSession, wireCard);
        });
    return interpretResult(result);
}

BonusResult VeltaBonusClientThrift::rollback(const QString &id, const QString &cardNumber)
{
    d->logger.info(QStringLiteral("Отмена транзакции по протоколу thrift"));
    d->logger.info(QStringLiteral("Терминал: ") + d->terminalId + QStringLiteral(" сессия: ") + id);

    const std::string wireTerminal = toWire(d->terminalId);
    const std::string wireSession = toWire(id);
    const std::string wireCard = toWire(cardNumber);
    const api::Result result = callMethod(
        d->provider, [&](api::AccountingLogicServiceClient &client, api::Result &answer) {
            client.rollbackTransaction(answer, wireTerminal, wireSession, wireCard);
        });
    return interpretResult(result);
}

void VeltaBonusClientThrift::setAddresses(const QString &address, int port)
{
    d->provider->addEndpoint(address, port);
}

void VeltaBonusClientThrift::setConnectTimeout(int ms)
{
    d->provider->setConnectTimeout(ms);
}

void VeltaBonusClientThrift::setRecvTimeout(int ms)
{
    d->provider->setReceiveTimeout(ms);
}

void VeltaBonusClientThrift::setSendTimeout(int ms)
{
    d->provider->setSendTimeout(ms);
}

void VeltaBonusClientThrift::setTerminalId(const QString &terminalId)
{
    d->terminalId = terminalId;
}

api::Result VeltaBonusClientThrift::callMethod(ThriftTransportProvider *provider, const Call &call)
{
    return callMethod(provider, call, false);
}

api::Result VeltaBonusClientThrift::callMethod(ThriftTransportProvider *provider, const Call &call,
                                               bool movesNothing)
{
    api::Result result;
    std::shared_ptr<ThriftTransportWrapper> transport;
    try {
        transport = provider->getTransport();
        api::AccountingLogicServiceClient client(protocolOn(transport));

        d->logger.info(QStringLiteral("Открытие транспорта"));
        transport->open();
        d->logger.info(QStringLiteral("Выполнение запроса"));
        call(client, result);
        d->logger.info(QStringLiteral("Закрытие транспорта"));
        // Kept for the operation's next call, and then for the next
        // operation's, unless every call is to have a connection of its own.
        if (d->provider->getKeepAlive() > 0)
            transport->callAnswered();
        else
            transport->close();
        d->logger.info(QStringLiteral("Закрытие транспорта")
                       + QStringLiteral("Результат: [success=")
                       + (result.success ? QStringLiteral("true") : QStringLiteral("false"))
                       + QStringLiteral(", sessionId=") + fromWire(result.sessionId)
                       + QStringLiteral(", description=") + fromWire(result.description)
                       + QStringLiteral(", balance=") + QString::number(result.balance));
        return result;
    } catch (const apache::thrift::TException &e) {
        d->logger.error(QStringLiteral("Ошибка thift: ") + QString::fromUtf8(e.what()));
        const auto *lost = dynamic_cast<const apache::thrift::transport::TTransportException *>(&e);
        // A connection kept from before that the server had closed: not a
        // silent server (that would cost the receive limit twice).
        const bool hungUp = transport && transport->wasUsedBefore() && !transport->replyStarted()
            && lost && lost->getType() != apache::thrift::transport::TTransportException::TIMED_OUT;
        if (transport) {
            try {
                transport->close();
            } catch (const std::exception &closeError) {
                // The call has failed already; this only adds to the log.
                d->logger.error(QStringLiteral("Ошибка thift: ")
                                + QString::fromUtf8(closeError.what()));
            }
        }
        if (movesNothing && hungUp) {
            // Nothing moves by it, so it may be asked again; anything else
            // is an unknown outcome and never sent twice.
            d->logger.info(QStringLiteral("Повтор запроса на новом соединении"));
            provider->dropKeptConnections();
            return callMethod(provider, call, false);
        }
        throw BonusServerUnavailable(QStringLiteral("Бонусный сервер не доступен"));
    }
}

BonusResult VeltaBonusClientThrift::interpretResult(const api::Result &result)
{
    const QString description = fromWire(result.description);
    if (!result.success) {
        d->logger.error(QStringLiteral("Ошибка бонусного сервера") + description);
        throw BonusSystemError(description);
    }
    BonusResult answer;
    answer.balance = fromLongLong(result.balance);
    answer.description = description;
    answer.sessionId = fromWire(result.sessionId);
    return answer;
}

long long VeltaBonusClientThrift::toLongLong(double value)
{
    // Half a kopeck up, then truncated toward zero: -0.01 becomes 0, not -1.
    return static_cast<long long>(value * 100 + 0.5);
}

double VeltaBonusClientThrift::fromLongLong(long long value)
{
    return value / 100.0;
}

api::AdditionalAssetInfo VeltaBonusClientThrift::toTAddAssetInfo(const AdditionalAssetInfo &info)
{
    api::AdditionalAssetInfo wire;
    wire.__set_dateFromCash(toWireTime(info.dateFromCash));
    return wire;
}

api::AssetGroup VeltaBonusClientThrift::toTAssetGroup(const AssetGroup &group)
{
    api::AssetGroup wire;
    wire.__set_groupId(group.groupId.toStdString());
    wire.__set_beginDate(toWireTime(group.beginDate));
    wire.__set_endDate(toWireTime(group.endDate));
    wire.__set_weight(group.weight);
    return wire;
}

qint64 VeltaBonusClientThrift::toWireTime(const QDateTime &moment)
{
    if (moment.isNull())
        return 0;
    // Whole seconds as an unsigned 32-bit count, the server's long-standing
    // reading of the cash desk's time; what does not fit is all ones.
    qint64 seconds = outOfRangeSeconds;
    if (moment.isValid()) {
        // Truncated toward zero, so the last second before 1970 still reads as 0.
        const qint64 sinceEpoch = moment.toMSecsSinceEpoch() / 1000;
        if (sinceEpoch >= 0 && sinceEpoch < outOfRangeSeconds)
            seconds = sinceEpoch;
    }
    return seconds * 1000;
}

QString VeltaBonusClientThrift::transactionId(const QDateTime &moment, double amount)
{
    return moment.toString(QStringLiteral("hhmmsszzz"))
        + QStringLiteral("%1").arg(amount * 100, 0, 'g', -1, QLatin1Char(' '));
}

BonusResult VeltaBonusClientThrift::makeTransaction(const QString &logTitle, bool payBack,
                                                    const CardFlow &flow, AdditionalAssetInfo &info,
                                                    const QString &transaction)
{
    d->logger.info(logTitle);
    CardNumberMask::remember(flow.cardNumber);
    d->logger.info(QStringLiteral("Терминал: ") + d->terminalId + QStringLiteral(" карта ")
                   + flow.cardNumber);
    d->logger.info(QStringLiteral("ID транзакции: ") + transaction);
    d->logger.info(QStringLiteral("Сумма: ") + QString::number(flow.amount, 'g', 6));

    const auto wireInfo = toTAddAssetInfo(info);
    const int64_t wireAmount = toLongLong(flow.amount);
    const std::string wireTerminal = toWire(d->terminalId);
    const std::string wireTransaction = toWire(transaction);
    const std::string wireCard = toWire(flow.cardNumber);
    const api::Result result = callMethod(
        d->provider, [&](api::AccountingLogicServiceClient &client, api::Result &answer) {
            if (payBack)
                client.makePayBack(answer, wireTerminal, wireTransaction, wireCard, wireAmount,
                                   wireInfo);
            else
                client.makePay(answer, wireTerminal, wireTransaction, wireCard, wireAmount,
                               wireInfo);
        });
    return interpretResult(result);
}
