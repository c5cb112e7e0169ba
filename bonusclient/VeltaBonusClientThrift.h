#ifndef VELTABONUSCLIENTTHRIFT_H
#define VELTABONUSCLIENTTHRIFT_H

#include "AdditionalAssetInfo.h"
#include "AssetGroup.h"
#include "BalanceResponse.h"
#include "BonusResult.h"
#include "BonusSystemError.h"
#include "CardFlow.h"
#include "ServerProbe.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The generated code stays behind the client: callers name these types only
// through the few members that convert to and from the wire.
namespace accounting {
namespace logic {
namespace thriftapi {
class AccountingLogicServiceClient;
class AdditionalAssetInfo;
class AssetGroup;
class Result;
} // namespace thriftapi
} // namespace logic
} // namespace accounting

class BonusSettings;
class ThriftTransportProvider;

/*!
    The plug-in's client of the accounting server. Configured once, from the
    settings file, when it is made; every failure is a BonusSystemError whose
    text is the cashier's message, except the provider's "no server
    reachable", which passes through as the provider raised it (nothing was
    sent then). A call that got no readable answer is a
    BonusServerUnavailable: the server may have carried it out.
*/
class VeltaBonusClientThrift : public QObject
{
    Q_OBJECT

public:
    /*!
        Lowers the client's time limits to what is left of a budget while it
        lives, and puts them back when it goes.
    */
    class TimeLimitScope
    {
    public:
        explicit TimeLimitScope(VeltaBonusClientThrift &client);
        ~TimeLimitScope();
        TimeLimitScope(const TimeLimitScope &) = delete;
        TimeLimitScope &operator=(const TimeLimitScope &) = delete;

        // Every limit at most `ms`; a limit of 0 (none) becomes `ms`.
        void cap(qint64 ms);
        void restore();

    private:
        ThriftTransportProvider *provider;
        const int connect;
        const int receive;
        const int send;
    };

    using Call = std::function<void(accounting::logic::thriftapi::AccountingLogicServiceClient &,
                                    accounting::logic::thriftapi::Result &)>;

    explicit VeltaBonusClientThrift(QObject *parent = nullptr);
    // Configured from settings the caller has already read, so that one
    // operation reads the file once.
    explicit VeltaBonusClientThrift(const BonusSettings &settings, QObject *parent = nullptr);
    ~VeltaBonusClientThrift() override;

    BalanceResponse balance(const QString &cardNumber);
    BonusResult makePay(const CardFlow &flow, AdditionalAssetInfo &info);
    BonusResult makePayBack(const CardFlow &flow, AdditionalAssetInfo &info);
    // The same, under a transaction id the caller made (and journalled) first.
    BonusResult makePay(const CardFlow &flow, AdditionalAssetInfo &info,
                        const QString &transactionId);
    BonusResult makePayBack(const CardFlow &flow, AdditionalAssetInfo &info,
                            const QString &transactionId);
    BonusResult commit(const QString &sessionId, const CardFlow &flow);
    // Voids a transaction: `id` is the server's session id, or the
    // transaction id the till sent when no answer came back.
    BonusResult rollback(const QString &id, const QString &cardNumber);

    // Which call a reply answers.
    enum class Reply { Balance, MakePay, MakePayBack, Commit, Rollback };
    // A server's reply read from bytes instead of a socket, through the same
    // protocol, limits and reading of the result as the call itself: the
    // call's answer, or what it throws (BonusServerUnavailable for a reply
    // that does not decode). A balance reply is read as balance() reads it.
    BalanceResponse decodeBalanceReply(const QByteArray &reply);
    BonusResult decodeReply(Reply call, const QByteArray &reply);

    QString getTerminalId() const;
    // The limits on connecting to one server and on waiting for a reply,
    // in milliseconds.
    int connectTimeout() const;
    int receiveTimeout() const;
    // The servers in the order they are tried, "host:port" each.
    QStringList servers() const;
    // Whether calls go over TLS.
    bool usesTls() const;
    // One balance call to servers()[index] alone: no fail-over, the
    // client's own limits and TLS. Never throws; the outcome says it all.
    ServerProbe probe(int index, const QString &cardNumber);

    void setAddresses(const QString &address, int port);
    void setConnectTimeout(int ms);
    void setRecvTimeout(int ms);
    void setSendTimeout(int ms);
    void setTerminalId(const QString &terminalId);

    accounting::logic::thriftapi::Result callMethod(ThriftTransportProvider *provider,
                                                    const Call &call);
    BonusResult interpretResult(const accounting::logic::thriftapi::Result &result);

    static long long toLongLong(double value);
    static double fromLongLong(long long value);
    static accounting::logic::thriftapi::AdditionalAssetInfo
    toTAddAssetInfo(const AdditionalAssetInfo &info);
    static accounting::logic::thriftapi::AssetGroup toTAssetGroup(const AssetGroup &group);
    // Milliseconds since the epoch as the wire carries them; 0 for a null date.
    static qint64 toWireTime(const QDateTime &moment);
    // "hhmmsszzz" of `moment` followed by the amount in kopecks, %g style.
    static QString transactionId(const QDateTime &moment, double amount);

private:
    // A call that moves nothing is asked once more, on a fresh connection,
    // when a connection kept from before turns out dead before any byte of
    // its reply arrived.
    accounting::logic::thriftapi::Result callMethod(ThriftTransportProvider *provider,
                                                    const Call &call, bool movesNothing);
    struct Private;

    BalanceResponse interpretBalance(const accounting::logic::thriftapi::Result &result);
    accounting::logic::thriftapi::Result readReply(Reply call, const QByteArray &reply);

    BonusResult makeTransaction(const QString &logTitle, bool payBack, const CardFlow &flow,
                                AdditionalAssetInfo &info, const QString &transaction);

    std::unique_ptr<Private> d;
};

#endif // VELTABONUSCLIENTTHRIFT_H
