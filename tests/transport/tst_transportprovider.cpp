#include "AccountingTestServer.h"
#include "DroppingPort.h"
#include "EndpointHealth.h"
#include "EndpointProbe.h"
#include "KeptConnections.h"
#include "Limits.h"
#include "LogCapture.h"
#include "RawServer.h"
#include "RefusedPort.h"
#include "ThriftSimpleSocketFactory.h"
#include "ThriftTransportProvider.h"
#include "ThriftTransportWrapper.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLibrary>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif
#include <QTimer>
#include <QtTest>

#include <stdexcept>
#include <thread>

#include <thrift/protocol/TBinaryProtocol.h>

using namespace accounting::logic::thriftapi;
using apache::thrift::TException;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransportException;

namespace {

const QString providerLog = QStringLiteral("thrifttransportprovider");

QString endpoint(int port)
{
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

// Remembers every socket the provider asks for; can be told to refuse.
class CountingFactory : public ThriftSimpleSocketFactory
{
public:
    std::shared_ptr<TSocket> createSocket(const QString &host, int port) override
    {
        dialled << QStringLiteral("%1:%2").arg(host).arg(port);
        if (refuse)
            throw TTransportException(TTransportException::BAD_ARGS, "no sockets today");
        return ThriftSimpleSocketFactory::createSocket(host, port);
    }

    QStringList dialled;
    bool refuse = false;
};

// Sockets with their own limits. A small message-size limit: a counter of
// consumed bytes that is never reset would run out after a few replies.
class LimitedFactory : public ThriftSocketFactory
{
public:
    LimitedFactory(int maxMessageSize, int recursionLimit)
        : maxMessageSize(maxMessageSize)
        , recursionLimit(recursionLimit)
    {
    }
    std::shared_ptr<TSocket> createSocket(const QString &host, int port) override
    {
        auto config = std::make_shared<apache::thrift::TConfiguration>(
            maxMessageSize, int(apache::thrift::TConfiguration::DEFAULT_MAX_FRAME_SIZE),
            recursionLimit);
        return std::make_shared<TSocket>(host.toStdString(), port, config);
    }

private:
    int maxMessageSize;
    int recursionLimit;
};

// The same sockets, made with other settings (other TLS files, say).
class OtherSettingsFactory : public CountingFactory
{
public:
    QString connectionKey() const override { return QStringLiteral("other settings"); }
};

// A balance call on the transport; answered in full unless told otherwise.
void askBalance(const std::shared_ptr<ThriftTransportWrapper> &transport, bool answered = true)
{
    AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
    if (!answered) {
        client.send_balance("T", "7770001");
        return;
    }
    Result result;
    client.balance(result, "T", "7770001");
    transport->callAnswered();
}

// Says hello on every connection and keeps it open until the peer closes.
void talkative(int fd)
{
    LoopbackSocket::writeAll(fd, QByteArray(64, 'h'));
    LoopbackSocket::waitForPeerClose(fd);
}

QTimer *idleTimer(ThriftTransportProvider &provider)
{
    return provider.findChild<QTimer *>();
}

} // namespace

class TransportProviderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void noEndpoint();
    void handOutBeforeAnyEndpoint();
    void hostsAndTimeLimits();
    void failOverToNextEndpoint();
    void deadEndpointRests();
    void restEndedEndpointProbed_data();
    void restEndedEndpointProbed();
    void unloadStopsProbe_data();
    void unloadStopsProbe();
    void dialOrderByFailures_data();
    void dialOrderByFailures();
    void sameEndpointTwiceCountsApart();
    void factoryFailureLeavesAtOnce();
    void openTransportHandedOutAgain();
    void closedTransportDialledAnew();
    void reportsOnSuccess_data();
    void reportsOnSuccess();
    void reportsOnFailure_data();
    void reportsOnFailure();
    void transportWithoutEndpoint();
    void idleTimerClosesConnection();
    void connectionExpired_data();
    void connectionExpired();
    void receiveLimit_data();
    void receiveLimit();
    void largeRepliesInARow();
    void protocolFollowsSocketLimits_data();
    void protocolFollowsSocketLimits();
    void keptConnections_data();
    void keptConnections();

private:
    LogCapture log;
};

void TransportProviderTest::initTestCase()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
#endif
}

void TransportProviderTest::init()
{
    log.clear();
}

void TransportProviderTest::noEndpoint()
{
    ThriftTransportProvider provider(std::make_shared<CountingFactory>());
    QVERIFY(provider.hosts().isEmpty());
    try {
        provider.getTransport();
        QFAIL("a provider without endpoints handed out a transport");
    } catch (const TTransportException &) {
        QFAIL("expected the plain Thrift exception");
    } catch (const TException &e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Не задан сервер"));
    }
    QCOMPARE(log.messages(providerLog, QStringLiteral("INFO")),
             QStringList({QStringLiteral("Значения таймаутов connect - 0, receive - 0, send - 0"),
                          QStringLiteral("Отсутствуют настроенные адреса поставщиков сервиса")}));
}

void TransportProviderTest::handOutBeforeAnyEndpoint()
{
    RawServer server(talkative);
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    auto direct = provider.getTransport(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(direct->isOpen());
    QCOMPARE(provider.getTransport(), direct);
    QCOMPARE(factory->dialled.size(), 1);
    // The direct dial logs the time limits only.
    QCOMPARE(log.messages(providerLog).size(), 2);
    QVERIFY(!log.contains(QStringLiteral("Открыто соединение thrift")));
}

void TransportProviderTest::hostsAndTimeLimits()
{
    RawServer server(talkative);
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    QCOMPARE(provider.getSocketFactory(), std::shared_ptr<ThriftSocketFactory>(factory));
    provider.addEndpoint(QStringLiteral("accounting.example"), 9090);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    provider.addEndpoint(QStringLiteral("accounting.example"), 9090);
    provider.transportFail(0);
    provider.transportFail(0);
    QCOMPARE(provider.hosts(),
             QStringList({QStringLiteral("accounting.example:9090"), endpoint(server.port()),
                          QStringLiteral("accounting.example:9090")}));

    QCOMPARE(provider.property("connectTimeout").toInt(), 0);
    QVERIFY(provider.setProperty("connectTimeout", 1500));
    QVERIFY(provider.setProperty("receiveTimeout", 2500));
    QVERIFY(provider.setProperty("sendTimeout", 3500));
    QCOMPARE(provider.getConnectTimeout(), 1500);
    QCOMPARE(provider.getReceiveTimeout(), 2500);
    QCOMPARE(provider.getSendTimeout(), 3500);
    provider.getTransport(); // the order is now the server, then the bad name twice
    QCOMPARE(log.messages(providerLog).value(0),
             QStringLiteral("Значения таймаутов connect - 1500, receive - 2500, send - 3500"));
}

void TransportProviderTest::failOverToNextEndpoint()
{
    RefusedPort refused;
    RawServer server(talkative);
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), refused.port());
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());

    auto transport = provider.getTransport();
    QCOMPARE(transport->getPeerPort(), server.port());
    QCOMPARE(factory->dialled, QStringList({endpoint(refused.port()), endpoint(server.port())}));

    const QStringList lines = log.messages(providerLog, QStringLiteral("INFO"));
    QCOMPARE(lines, log.messages(providerLog));
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.at(0), QStringLiteral("Значения таймаутов connect - 0, receive - 0, send - 0"));
    QCOMPARE(lines.at(1), QStringLiteral("Соединение с ") + endpoint(refused.port()));
    QVERIFY2(lines.at(2).startsWith(QStringLiteral("Ошибка соединения с сервером "))
                 && lines.at(2).contains(QStringLiteral("refused")),
             qPrintable(lines.at(2)));
    QCOMPARE(lines.at(3), QStringLiteral("Соединение с ") + endpoint(server.port()));
    QCOMPARE(lines.at(4), QStringLiteral("Открыто соединение thrift"));
    // The address as configured: no reverse lookup on the cashier's path.
    QCOMPARE(lines.at(5), QStringLiteral("Хост: 127.0.0.1, порт: %1").arg(server.port()));

    // The refused endpoint now has a failure: the next dial starts elsewhere.
    transport->close();
    factory->dialled.clear();
    QCOMPARE(provider.getTransport()->getPeerPort(), server.port());
    QCOMPARE(factory->dialled, QStringList({endpoint(server.port())}));

    // A refusal costs nothing, so the next operation's provider (fresh
    // counts and all) tries it first again.
    factory->dialled.clear();
    ThriftTransportProvider next(factory);
    next.addEndpoint(QStringLiteral("127.0.0.1"), refused.port());
    next.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    QCOMPARE(next.getTransport()->getPeerPort(), server.port());
    QCOMPARE(factory->dialled, QStringList({endpoint(refused.port()), endpoint(server.port())}));
}

void TransportProviderTest::deadEndpointRests()
{
    // A server that lets a connection attempt run out the connect limit
    // costs that limit once: the next operations' providers, fresh counts
    // and all, go to the live one first for a while.
    DroppingPort dead;
    RawServer live(talkative);
    auto factory = std::make_shared<CountingFactory>();
    for (int operation = 0; operation < 3; ++operation) {
        factory->dialled.clear();
        ThriftTransportProvider provider(factory);
        provider.setConnectTimeout(200);
        provider.addEndpoint(QStringLiteral("127.0.0.1"), dead.port());
        provider.addEndpoint(QStringLiteral("127.0.0.1"), live.port());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(provider.getTransport()->getPeerPort(), live.port());
        QCOMPARE(factory->dialled,
                 operation == 0 ? QStringList({endpoint(dead.port()), endpoint(live.port())})
                                : QStringList({endpoint(live.port())}));
        // The first waits out the dead endpoint's connect limit; the list
        // above shows the others never dial it.
        if (operation == 0)
            QVERIFY(clock.elapsed() >= 190);
    }
}

void TransportProviderTest::restEndedEndpointProbed_data()
{
    QTest::addColumn<bool>("backAlive");
    QTest::addColumn<bool>("alone");
    QTest::newRow("still dead, another answers: a new rest") << false << false;
    QTest::newRow("alive again, another answers: first again") << true << false;
    QTest::newRow("still dead and alone: the operation still tries it") << false << true;
    QTest::newRow("alive again and alone") << true << true;
}

void TransportProviderTest::restEndedEndpointProbed()
{
    QFETCH(bool, backAlive);
    QFETCH(bool, alone);
    DroppingPort dead;
    RawServer revived(talkative);
    RawServer live(talkative);
    const int first = backAlive ? revived.port() : dead.port();
    // Rests that end at once: every operation finds the first one's over.
    EndpointHealth::setRestMs(0);
    EndpointHealth::failed(QStringLiteral("127.0.0.1"), first);
    auto factory = std::make_shared<CountingFactory>();
    auto operation = [&] {
        factory->dialled.clear();
        ThriftTransportProvider provider(factory);
        provider.setConnectTimeout(200);
        provider.addEndpoint(QStringLiteral("127.0.0.1"), first);
        if (!alone)
            provider.addEndpoint(QStringLiteral("127.0.0.1"), live.port());
        try {
            return provider.getTransport()->getPeerPort();
        } catch (const std::runtime_error &) {
            return 0;
        }
    };

    // A dead one is probed at each rest's end; one that answers is back.
    for (int round = 0; round < (backAlive ? 1 : 2); ++round) {
        log.clear();
        // Straight to the live one while the probe tries the first; alone,
        // the first is still dialled.
        QCOMPARE(operation(), alone ? (backAlive ? first : 0) : live.port());
        QCOMPARE(factory->dialled, QStringList(endpoint(alone ? first : live.port())));
        QTRY_COMPARE(EndpointProbe::running(), 0);
        EndpointProbe::collect(); // as the next operation would
        QCOMPARE(EndpointHealth::resting(QStringLiteral("127.0.0.1"), first), !backAlive);
        if (!alone) {
            const QStringList lines = log.messages(providerLog);
            QVERIFY(
                lines.contains(QStringLiteral("Фоновая проверка сервера %1").arg(endpoint(first))));
            QCOMPARE(lines.filter(QStringLiteral("Сервер ") + endpoint(first)).value(0),
                     backAlive
                         ? QStringLiteral("Сервер %1 снова доступен").arg(endpoint(first))
                         : QStringLiteral("Сервер %1 по-прежнему недоступен: connect timed out")
                               .arg(endpoint(first)));
        }
    }
    // Once a probe connected, the first is first again.
    if (backAlive && !alone) {
        QCOMPARE(operation(), first);
        QCOMPARE(factory->dialled, QStringList(endpoint(first)));
    }
    EndpointHealth::setRestMs(Limits::endpointRestMs);
    EndpointHealth::connected(QStringLiteral("127.0.0.1"), first);
}

void TransportProviderTest::unloadStopsProbe_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("connecting to a server that drops it") << false;
    QTest::newRow("in a TLS handshake nobody answers") << true;
}

void TransportProviderTest::unloadStopsProbe()
{
    QFETCH(bool, tls);
    // The probe's code lives in the library; unloading it must stop and
    // join the probe, not wait out its 60 s connect limit, nor leave a
    // thread to run code that is gone.
    DroppingPort dead;
    RawServer silent([](int fd) { LoopbackSocket::waitForPeerClose(fd, 60000); });
    QLibrary module(QStringLiteral(PROBE_MODULE_PATH));
    using Start = int (*)(const char *, int, int, int);
    using Running = int (*)();
    const auto start = reinterpret_cast<Start>(module.resolve("startProbe"));
    const auto running = reinterpret_cast<Running>(module.resolve("probesRunning"));
    QVERIFY2(start && running, qPrintable(module.errorString()));
    // Started from a thread that ends, as a host's worker might: a thread
    // that logged through the library keeps it mapped while it lives.
    int started = 0;
    std::thread([&] {
        started = start("127.0.0.1", tls ? silent.port() : dead.port(), 60000, tls ? 1 : 0);
    }).join();
    QCOMPARE(started, 1);
    QCOMPARE(running(), 1);
    if (tls)
        QTRY_COMPARE(silent.accepted(), 1); // connected: the handshake waits

    QElapsedTimer clock;
    clock.start();
    QVERIFY(module.unload());
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
    QFile maps(QStringLiteral("/proc/self/maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    QVERIFY(!maps.readAll().contains(QFileInfo(module.fileName()).fileName().toLocal8Bit()));
}

void TransportProviderTest::dialOrderByFailures_data()
{
    QTest::addColumn<QList<int>>("failures");
    QTest::addColumn<QList<int>>("order");
    QTest::newRow("equal counts keep the order of addition")
        << QList<int> {0, 0, 0} << QList<int> {0, 1, 2};
    QTest::newRow("0, 2, 1") << QList<int> {0, 2, 1} << QList<int> {0, 2, 1};
    QTest::newRow("2, 1, 0") << QList<int> {2, 1, 0} << QList<int> {2, 1, 0};
    QTest::newRow("1, 0, 1") << QList<int> {1, 0, 1} << QList<int> {1, 0, 2};
    QTest::newRow("3, 3, 1") << QList<int> {3, 3, 1} << QList<int> {2, 0, 1};
}

void TransportProviderTest::dialOrderByFailures()
{
    QFETCH(QList<int>, failures);
    QFETCH(QList<int>, order);
    RefusedPort ports[3];
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    for (int i = 0; i < 3; ++i) {
        provider.addEndpoint(QStringLiteral("127.0.0.1"), ports[i].port());
        for (int n = 0; n < failures.at(i); ++n)
            provider.transportFail(i);
    }

    try {
        provider.getTransport();
        QFAIL("refused endpoints handed out a transport");
    } catch (const TException &) {
        QFAIL("expected a standard exception, not a Thrift one");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Нет доступных серверов"));
    }
    QStringList expected;
    for (int i : order)
        expected << endpoint(ports[i].port());
    QCOMPARE(factory->dialled, expected);
    QCOMPARE(log.messages(providerLog).constLast(), QStringLiteral("Нет доступных серверов"));
    QCOMPARE(log.messages(providerLog).filter(QStringLiteral("Ошибка соединения")).size(), 3);
}

void TransportProviderTest::sameEndpointTwiceCountsApart()
{
    auto twice = std::make_unique<RawServer>();
    const int twicePort = twice->port();
    RefusedPort other;
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    provider.setReceiveTimeout(50);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), twicePort);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), twicePort);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), other.port());

    // The first of the pair fails during an exchange.
    auto transport = provider.getTransport();
    uint8_t byte;
    QVERIFY_EXCEPTION_THROWN(transport->read(&byte, 1), TTransportException);
    transport->close();
    twice.reset();

    // Only the first entry was charged: second entry, other, first entry.
    factory->dialled.clear();
    QVERIFY_EXCEPTION_THROWN(provider.getTransport(), std::runtime_error);
    QCOMPARE(factory->dialled,
             QStringList({endpoint(twicePort), endpoint(other.port()), endpoint(twicePort)}));
}

void TransportProviderTest::factoryFailureLeavesAtOnce()
{
    RawServer server(talkative);
    auto factory = std::make_shared<CountingFactory>();
    factory->refuse = true;
    ThriftTransportProvider provider(factory);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    try {
        provider.getTransport();
        QFAIL("a failing factory handed out a transport");
    } catch (const TTransportException &e) {
        QCOMPARE(QByteArray(e.what()), QByteArray("no sockets today"));
    }
    QCOMPARE(factory->dialled.size(), 1);
    QCOMPARE(log.messages(providerLog).size(), 1); // the time limits only
}

void TransportProviderTest::openTransportHandedOutAgain()
{
    RawServer server(talkative);
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    auto first = provider.getTransport();
    QVERIFY(idleTimer(provider)->isActive());
    idleTimer(provider)->stop();
    log.clear();

    auto second = provider.getTransport();
    QCOMPARE(second, first);
    second->open(); // as the bonus client does: no second connection
    QCOMPARE(factory->dialled.size(), 1);
    QVERIFY(!idleTimer(provider)->isActive());
    QCOMPARE(log.messages(providerLog).size(), 1); // the time limits only
    QTRY_COMPARE(server.accepted(), 1);
}

void TransportProviderTest::closedTransportDialledAnew()
{
    RawServer server(talkative);
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    auto first = provider.getTransport();
    first->close();
    auto second = provider.getTransport();
    QVERIFY(second != first);
    QVERIFY(second->isOpen());
    QCOMPARE(factory->dialled.size(), 2);
}

void TransportProviderTest::reportsOnSuccess_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("restartsTimer");
    QTest::newRow("read") << "read" << true;
    QTest::newRow("readAll") << "readAll" << true;
    QTest::newRow("readEnd") << "readEnd" << true;
    QTest::newRow("write") << "write" << true;
    QTest::newRow("writeEnd") << "writeEnd" << true;
    QTest::newRow("flush") << "flush" << true;
    QTest::newRow("open") << "open" << false;
    QTest::newRow("isOpen") << "isOpen" << false;
    QTest::newRow("peek") << "peek" << false;
    QTest::newRow("borrow") << "borrow" << false;
}

void TransportProviderTest::reportsOnSuccess()
{
    QFETCH(QString, operation);
    QFETCH(bool, restartsTimer);
    RawServer server(talkative);
    ThriftTransportProvider provider(std::make_shared<CountingFactory>());
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    auto transport = provider.getTransport();
    QTimer *timer = idleTimer(provider);
    QVERIFY(timer->isSingleShot());
    QCOMPARE(timer->interval(), 60000);
    timer->stop();

    uint8_t buffer[8] = {};
    uint32_t length = sizeof(buffer);
    if (operation == QLatin1String("read")) {
        QVERIFY(transport->read(buffer, 4) > 0);
        QCOMPARE(buffer[0], uint8_t('h'));
    } else if (operation == QLatin1String("readAll")) {
        QCOMPARE(transport->readAll(buffer, 8), 8u);
    } else if (operation == QLatin1String("readEnd")) {
        transport->readEnd();
    } else if (operation == QLatin1String("write")) {
        transport->write(buffer, 4);
    } else if (operation == QLatin1String("writeEnd")) {
        transport->writeEnd();
    } else if (operation == QLatin1String("flush")) {
        transport->flush();
    } else if (operation == QLatin1String("open")) {
        transport->open();
    } else if (operation == QLatin1String("isOpen")) {
        QVERIFY(transport->isOpen());
    } else if (operation == QLatin1String("peek")) {
        QTRY_VERIFY(transport->peek());
    } else if (operation == QLatin1String("borrow")) {
        QCOMPARE(transport->borrow(buffer, &length), nullptr);
    }
    QCOMPARE(timer->isActive(), restartsTimer);
    if (restartsTimer)
        QVERIFY(timer->remainingTime() > 59000);
    QCOMPARE(provider.getTransport(), transport);
    QTRY_COMPARE(server.accepted(), 1);
}

void TransportProviderTest::reportsOnFailure_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("type");
    QTest::newRow("read past the receive limit") << "read" << int(TTransportException::TIMED_OUT);
    QTest::newRow("readAll cut short by the peer")
        << "readAll" << int(TTransportException::END_OF_FILE);
    QTest::newRow("write after close") << "write" << int(TTransportException::NOT_OPEN);
    QTest::newRow("read after close") << "readClosed" << int(TTransportException::NOT_OPEN);
    QTest::newRow("consume") << "consume" << int(TTransportException::NOT_OPEN);
}

void TransportProviderTest::reportsOnFailure()
{
    QFETCH(QString, operation);
    QFETCH(int, type);
    // The first endpoint answers three bytes and hangs up, or stays silent.
    RawServer first(operation == QLatin1String("readAll")
                        ? RawServer::Session([](int fd) { LoopbackSocket::writeAll(fd, "abc"); })
                        : RawServer::Session());
    RawServer second;
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    provider.setReceiveTimeout(50);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), first.port());
    provider.addEndpoint(QStringLiteral("127.0.0.1"), second.port());
    auto transport = provider.getTransport();
    QCOMPARE(transport->getPeerPort(), first.port());
    idleTimer(provider)->stop();

    uint8_t buffer[16] = {};
    try {
        if (operation == QLatin1String("read")) {
            transport->read(buffer, 1);
        } else if (operation == QLatin1String("readAll")) {
            transport->readAll(buffer, 10);
        } else if (operation == QLatin1String("write")) {
            transport->close();
            transport->write(buffer, 4);
        } else if (operation == QLatin1String("readClosed")) {
            transport->close();
            transport->read(buffer, 4);
        } else if (operation == QLatin1String("consume")) {
            transport->consume(1);
        }
        QFAIL("the operation did not fail");
    } catch (const TTransportException &e) {
        QCOMPARE(int(e.getType()), type);
    }
    QVERIFY(!idleTimer(provider)->isActive());

    // Dropped and charged: the next dial is new and starts at the other
    // endpoint; the failed transport still works for its holder.
    factory->dialled.clear();
    auto next = provider.getTransport();
    QVERIFY(next != transport);
    QCOMPARE(next->getPeerPort(), second.port());
    QCOMPARE(factory->dialled, QStringList({endpoint(second.port())}));
    transport->close();
    QVERIFY(!transport->isOpen());
}

void TransportProviderTest::transportWithoutEndpoint()
{
    RawServer silent;
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    provider.setReceiveTimeout(50);
    RawServer other;
    provider.addEndpoint(QStringLiteral("127.0.0.1"), silent.port());
    provider.addEndpoint(QStringLiteral("127.0.0.1"), other.port());

    auto direct = provider.getTransport(QStringLiteral("127.0.0.1"), silent.port());
    QVERIFY(idleTimer(provider)->isActive());
    uint8_t byte;
    QVERIFY_EXCEPTION_THROWN(direct->read(&byte, 1), TTransportException);

    // Dropped, but no endpoint was charged.
    factory->dialled.clear();
    auto next = provider.getTransport();
    QVERIFY(next != direct);
    QCOMPARE(next->getPeerPort(), silent.port());
    QCOMPARE(factory->dialled.size(), 1);

    // A direct dial that fails reaches the caller and charges nothing either.
    RefusedPort refused;
    QVERIFY_EXCEPTION_THROWN(provider.getTransport(QStringLiteral("127.0.0.1"), refused.port()),
                             TTransportException);
    next->close();
    factory->dialled.clear();
    QCOMPARE(provider.getTransport()->getPeerPort(), silent.port());
}

void TransportProviderTest::idleTimerClosesConnection()
{
    RawServer server(talkative);
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    auto transport = provider.getTransport();
    QTimer *timer = idleTimer(provider);
    QVERIFY(timer->isActive());
    QVERIFY(timer->remainingTime() > 59000);

    // Let the timer run out now instead of in a minute.
    timer->start(0);
    QTRY_VERIFY(!transport->isOpen());
    QVERIFY(log.contains(QStringLiteral("Закрытие соединения с сервером по таймеру")));
    auto next = provider.getTransport();
    QVERIFY(next != transport);
    QCOMPARE(factory->dialled.size(), 2);
}

void TransportProviderTest::connectionExpired_data()
{
    QTest::addColumn<QString>("state");
    QTest::newRow("no transport") << "none";
    QTest::newRow("closed by its user") << "closed";
    QTest::newRow("open") << "open";
}

void TransportProviderTest::connectionExpired()
{
    QFETCH(QString, state);
    RawServer server(talkative);
    auto factory = std::make_shared<CountingFactory>();
    ThriftTransportProvider provider(factory);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    std::shared_ptr<ThriftTransportWrapper> transport;
    if (state != QLatin1String("none"))
        transport = provider.getTransport();
    if (state == QLatin1String("closed"))
        transport->close();
    log.clear();

    provider.connectionExpired();
    const bool wasOpen = state == QLatin1String("open");
    QCOMPARE(log.messages(providerLog),
             wasOpen ? QStringList({QStringLiteral("Закрытие соединения с сервером по таймеру")})
                     : QStringList());
    if (transport)
        QVERIFY(!transport->isOpen());
    if (wasOpen) {
        factory->dialled.clear();
        QVERIFY(provider.getTransport() != transport);
        QCOMPARE(factory->dialled.size(), 1);
    }
}

void TransportProviderTest::receiveLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("answerAfter"); // -1: never
    QTest::addColumn<bool>("answered");
    QTest::newRow("silent server, 150 ms") << 150 << -1 << false;
    QTest::newRow("late answer, 150 ms") << 150 << 1500 << false;
    QTest::newRow("answer within the limit") << 3000 << 200 << true;
    QTest::newRow("0 waits") << 0 << 700 << true;
}

void TransportProviderTest::receiveLimit()
{
    QFETCH(int, limit);
    QFETCH(int, answerAfter);
    QFETCH(bool, answered);
    RawServer::Session session;
    if (answerAfter >= 0) {
        session = [answerAfter](int fd) {
            // The server's own delay, while the client under test is blocked
            // in read(); a client that gave up meanwhile gets nothing.
            if (LoopbackSocket::waitForPeerClose(fd, answerAfter))
                return;
            LoopbackSocket::writeAll(fd, "late");
            LoopbackSocket::waitForPeerClose(fd);
        };
    }
    RawServer server(session);
    ThriftTransportProvider provider(std::make_shared<CountingFactory>());
    provider.setReceiveTimeout(limit);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    auto transport = provider.getTransport();

    QElapsedTimer clock;
    clock.start();
    uint8_t buffer[4];
    try {
        transport->readAll(buffer, 4);
        QVERIFY(answered);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 4), QByteArray("late"));
        QVERIFY2(clock.elapsed() >= answerAfter - 50, qPrintable(QString::number(clock.elapsed())));
    } catch (const TTransportException &e) {
        QVERIFY2(!answered, e.what());
        QCOMPARE(e.getType(), TTransportException::TIMED_OUT);
        QVERIFY2(clock.elapsed() >= limit - 20 && clock.elapsed() < limit + 1000,
                 qPrintable(QString::number(clock.elapsed())));
    }
    transport->close();
}

void TransportProviderTest::largeRepliesInARow()
{
    AccountingTestServer server;
    server.answer("balance", AccountingTestServer::echo(300 * 1024));
    ThriftTransportProvider provider(std::make_shared<LimitedFactory>(
        1024 * 1024, int(apache::thrift::TConfiguration::DEFAULT_RECURSION_DEPTH)));
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    provider.setReceiveTimeout(10000);

    // Five replies of 300 KB on one connection under a 1 MB message limit.
    std::shared_ptr<ThriftTransportWrapper> first;
    for (int i = 0; i < 5; ++i) {
        auto transport = provider.getTransport();
        if (!first)
            first = transport;
        QCOMPARE(transport, first);
        AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
        Result answer;
        const std::string card = "778899-" + std::to_string(i);
        client.balance(answer, "T-1", card);
        QVERIFY(answer.success);
        QCOMPARE(answer.sessionId, card);
        QCOMPARE(int(answer.description.size()), 300 * 1024);
        QVERIFY(QString::fromStdString(answer.description).startsWith(QStringLiteral("ЖЖЖ")));
        QCOMPARE(answer.balance, int64_t(123456));
    }
    QCOMPARE(server.calls().size(), 5);
    first->close();
}

void TransportProviderTest::protocolFollowsSocketLimits_data()
{
    QTest::addColumn<int>("recursionLimit");
    QTest::addColumn<bool>("accepted");
    // A reply nests the Result in the result structure: two levels.
    QTest::newRow("one level allowed") << 1 << false;
    QTest::newRow("two levels allowed") << 2 << true;
}

void TransportProviderTest::protocolFollowsSocketLimits()
{
    QFETCH(int, recursionLimit);
    QFETCH(bool, accepted);
    AccountingTestServer server;
    server.answer("balance", AccountingTestServer::echo());
    ThriftTransportProvider provider(std::make_shared<LimitedFactory>(
        int(apache::thrift::TConfiguration::DEFAULT_MAX_MESSAGE_SIZE), recursionLimit));
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    auto transport = provider.getTransport();
    AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
    Result answer;
    try {
        client.balance(answer, "T-1", "2000123");
        QVERIFY(accepted);
    } catch (const apache::thrift::protocol::TProtocolException &e) {
        QVERIFY2(!accepted, e.what());
        QCOMPARE(e.getType(), apache::thrift::protocol::TProtocolException::DEPTH_LIMIT);
    }
    QCOMPARE(server.calls().size(), 1);
    transport->close();
}

QTEST_GUILESS_MAIN(TransportProviderTest)
#include "tst_transportprovider.moc"

void TransportProviderTest::keptConnections_data()
{
    QTest::addColumn<int>("keepAlive");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<bool>("otherSettings");
    QTest::addColumn<int>("idleMs");
    QTest::addColumn<int>("connections"); // the server's, over both providers

    QTest::newRow("kept for the next provider") << 20 << true << false << 0 << 1;
    QTest::newRow("no keep-alive: a connection each") << 0 << true << false << 0 << 2;
    QTest::newRow("a call left half-done is not kept") << 20 << false << false << 0 << 2;
    QTest::newRow("other settings dial anew") << 20 << true << true << 0 << 2;
    QTest::newRow("idle beyond the keep-alive") << 1 << true << false << 1100 << 2;
}

void TransportProviderTest::keptConnections()
{
    QFETCH(int, keepAlive);
    QFETCH(bool, answered);
    QFETCH(bool, otherSettings);
    QFETCH(int, idleMs);
    QFETCH(int, connections);

    AccountingTestServer server;
    auto factory = std::make_shared<CountingFactory>();
    {
        ThriftTransportProvider first(factory);
        first.setKeepAlive(keepAlive);
        first.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
        auto transport = first.getTransport();
        askBalance(transport, answered);
        if (answered)
            askBalance(first.getTransport()); // the operation's calls share it
    }
    QTest::qWait(idleMs);
    log.clear();

    std::shared_ptr<CountingFactory> next
        = otherSettings ? std::make_shared<OtherSettingsFactory>() : factory;
    ThriftTransportProvider second(next);
    second.setKeepAlive(keepAlive);
    second.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    askBalance(second.getTransport());

    QCOMPARE(server.connections(), connections);
    QCOMPARE(server.calls().size(), answered ? 3 : 2);
    QCOMPARE(
        log.messages(providerLog)
            .contains(QStringLiteral("Соединение с 127.0.0.1:%1 уже открыто").arg(server.port())),
        connections == 1);
    // What was not handed over is closed, not left to linger.
    QTRY_COMPARE(server.closedConnections(), connections - 1);
}
