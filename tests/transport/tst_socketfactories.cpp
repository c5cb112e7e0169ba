#include "AccountingTestServer.h"
#include "AllowAccessManager.h"
#include "LogCapture.h"
#include "RawServer.h"
#include "RefusedPort.h"
#include "SimProcess.h"
#include "TestCertificates.h"
#include "ThriftSSLSocketFactory.h"
#include "ThriftSimpleSocketFactory.h"
#include "ThriftTransportProvider.h"
#include "ThriftTransportWrapper.h"
#include "TlsSessionCache.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif
#include <QtTest>

#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TSSLSocket.h>

using namespace accounting::logic::thriftapi;
using apache::thrift::TException;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::AccessManager;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TSSLException;
using apache::thrift::transport::TSSLSocket;
using apache::thrift::transport::TSSLSocketFactory;
using apache::thrift::transport::TTransportException;

namespace {

// Descriptors the process has open.
int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

// Remembers where the provider dials, then makes a TLS socket.
class RecordingSSLFactory : public ThriftSSLSocketFactory
{
public:
    std::shared_ptr<TSocket> createSocket(const QString &host, int port) override
    {
        dialled << port;
        return ThriftSSLSocketFactory::createSocket(host, port);
    }
    QList<int> dialled;
};

// Thrift's TLS server limited to TLS 1.2, with a session id context, so
// that it resumes sessions by id; counts the sessions it resumed.
class Tls12ServerFactory : public TSSLSocketFactory
{
public:
    explicit Tls12ServerFactory(const TestCertificates &certificates)
    {
        server(true);
        loadCertificate(certificates.path(QStringLiteral("server.pem")).toUtf8().constData());
        loadPrivateKey(certificates.path(QStringLiteral("server.key")).toUtf8().constData());
        loadTrustedCertificates(certificates.path(QStringLiteral("ca.pem")).toUtf8().constData());
        authenticate(true);
        SSL_CTX_set_max_proto_version(ctx_->get(), TLS1_2_VERSION);
        static const unsigned char context[] = "accounting";
        SSL_CTX_set_session_id_context(ctx_->get(), context, sizeof context - 1);
    }
    long resumed() { return SSL_CTX_sess_hits(ctx_->get()); }
};

} // namespace

class SocketFactoriesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Must run first: nothing in the process has made a TLS socket yet.
    void processTlsFactoryMadeOnce();

    void plainSocketsAreDistinctAndUnconnected_data();
    void plainSocketsAreDistinctAndUnconnected();
    void plainSocketsOpen_data();
    void plainSocketsOpen();
    void accessManagerAllowsEverything();
    void certificatePaths();
    void unusableCertificates_data();
    void unusableCertificates();
    void tlsCallsWithoutNameCheck();
    void serverIdentity_data();
    void serverIdentity();
    void clientCertificateDemanded();
    void untrustedServerCountsAgainstEndpoint();
    void sessionsResumed_data();
    void sessionsResumed();

private:
    QString path(const QString &name) const { return certificates.path(name); }
    std::shared_ptr<TSSLSocketFactory> serverTls(const QString &certificate) const;
    std::shared_ptr<ThriftSSLSocketFactory> clientTls(const QString &certificate) const;

    TestCertificates certificates;
    LogCapture log;
};

void SocketFactoriesTest::initTestCase()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
#endif
    // TLS writes go through OpenSSL's plain write(): a server that says
    // goodbye to a client already gone must not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    QVERIFY2(
        certificates.make(QStringLiteral("ca"), QStringLiteral("/CN=Bonus Test CA"))
            && certificates.make(QStringLiteral("rogue-ca"), QStringLiteral("/CN=Somebody Else"))
            // Names that match neither 127.0.0.1 nor localhost.
            && certificates.make(QStringLiteral("server"),
                                 QStringLiteral("/CN=accounting.example.invalid"),
                                 QStringLiteral("ca"))
            && certificates.make(QStringLiteral("rogue-server"),
                                 QStringLiteral("/CN=accounting.example.invalid"),
                                 QStringLiteral("rogue-ca"))
            && certificates.make(QStringLiteral("client"), QStringLiteral("/CN=till 7"),
                                 QStringLiteral("ca"))
            && certificates.make(QStringLiteral("rogue-client"), QStringLiteral("/CN=till 8"),
                                 QStringLiteral("rogue-ca"))
            && certificates.make(
                QStringLiteral("named-server"), QStringLiteral("/CN=accounting"),
                QStringLiteral("ca"),
                {QStringLiteral("subjectAltName=DNS:accounting.shop.test,IP:127.0.0.1"),
                 QStringLiteral("extendedKeyUsage=serverAuth")})
            // The name where old clients looked for it, and only there.
            && certificates.make(QStringLiteral("cn-server"),
                                 QStringLiteral("/CN=accounting.shop.test"), QStringLiteral("ca"),
                                 {QStringLiteral("extendedKeyUsage=serverAuth")})
            // A till's own certificate, as accounting-sim's guide makes them.
            && certificates.make(QStringLiteral("till"), QStringLiteral("/CN=till 7"),
                                 QStringLiteral("ca"),
                                 {QStringLiteral("subjectAltName=URI:urn:terminal:T-01"),
                                  QStringLiteral("extendedKeyUsage=clientAuth")})
            // The right name, for something other than serving.
            && certificates.make(QStringLiteral("signing"), QStringLiteral("/CN=accounting"),
                                 QStringLiteral("ca"),
                                 {QStringLiteral("subjectAltName=DNS:accounting.shop.test"),
                                  QStringLiteral("extendedKeyUsage=clientAuth,codeSigning")}),
        qPrintable(certificates.error()));
}

std::shared_ptr<TSSLSocketFactory> SocketFactoriesTest::serverTls(const QString &certificate) const
{
    return certificates.serverTls(certificate);
}

std::shared_ptr<ThriftSSLSocketFactory>
SocketFactoriesTest::clientTls(const QString &certificate) const
{
    auto factory = std::make_shared<RecordingSSLFactory>();
    factory->setClientCertificate(path(certificate + QStringLiteral("-bundle.pem")));
    factory->setTrustedCertificate(path(QStringLiteral("ca.pem")));
    return factory;
}

void SocketFactoriesTest::processTlsFactoryMadeOnce()
{
    QCOMPARE(ThriftSSLSocketFactory::processFactoriesMade(), 0);
    // Several threads make their first TLS socket at the same moment.
    std::vector<std::thread> threads;
    std::atomic<int> made {0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([this, &made] {
            auto factory = clientTls(QStringLiteral("client"));
            if (factory->createSocket(QStringLiteral("127.0.0.1"), 1))
                ++made;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(made.load(), 4);
    QCOMPARE(ThriftSSLSocketFactory::processFactoriesMade(), 1);
    clientTls(QStringLiteral("client"))->createSocket(QStringLiteral("127.0.0.1"), 1);
    QCOMPARE(ThriftSSLSocketFactory::processFactoriesMade(), 1);
}

void SocketFactoriesTest::plainSocketsAreDistinctAndUnconnected_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("hostBytes");
    QTest::newRow("address") << "127.0.0.1" << 9090 << QByteArray("127.0.0.1");
    QTest::newRow("unresolvable name, port 0")
        << "accounting.invalid" << 0 << QByteArray("accounting.invalid");
    QTest::newRow("Cyrillic name in the local encoding")
        << QStringLiteral("касса.invalid") << 65535 << QStringLiteral("касса.invalid").toUtf8();
}

void SocketFactoriesTest::plainSocketsAreDistinctAndUnconnected()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QByteArray, hostBytes);
    const int before = openDescriptors();
    ThriftSimpleSocketFactory factory;
    auto first = factory.createSocket(host, port);
    auto second = factory.createSocket(host, port);
    QVERIFY(first && second && first != second);
    QVERIFY(!first->isOpen() && !second->isOpen());
    QCOMPARE(QByteArray::fromStdString(first->getHost()), hostBytes);
    QCOMPARE(first->getPort(), port);
    QVERIFY(!std::dynamic_pointer_cast<TSSLSocket>(first));
    QCOMPARE(openDescriptors(), before); // nothing resolved or dialled
}

void SocketFactoriesTest::plainSocketsOpen_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("live");
    QTest::addColumn<QString>("error"); // what open() throws, if it throws
    QTest::newRow("IPv4 address") << "127.0.0.1" << true << QString();
    QTest::newRow("name, through the resolver") << "localhost" << true << QString();
    QTest::newRow("refused") << "127.0.0.1" << false << "socket open() error: Connection refused";
    QTest::newRow("unresolvable name")
        << "accounting.invalid" << true << "Could not resolve host for client socket.";
}

// Numeric addresses skip the resolver; everything else is as Thrift's own.
void SocketFactoriesTest::plainSocketsOpen()
{
    QFETCH(QString, host);
    QFETCH(bool, live);
    QFETCH(QString, error);
    RawServer server(RawServer::KeepSilent);
    RefusedPort refused;
    const auto socket
        = ThriftSimpleSocketFactory().createSocket(host, live ? server.port() : refused.port());
    socket->setConnTimeout(2000);
    try {
        socket->open();
        QVERIFY2(error.isEmpty(), "open() should have failed");
    } catch (const TTransportException &e) {
        QCOMPARE(QString::fromUtf8(e.what()), error);
        QVERIFY(!socket->isOpen());
        return;
    }
    QVERIFY(socket->isOpen());
    socket->write(reinterpret_cast<const uint8_t *>("ping"), 4);
    QTRY_COMPARE(server.received(), QByteArray("ping"));
    QCOMPARE(server.accepted(), 1);
}

void SocketFactoriesTest::accessManagerAllowsEverything()
{
    AllowAccessManager manager;
    AccessManager &asBase = manager;
    sockaddr_storage empty {};
    sockaddr_storage v4 {};
    reinterpret_cast<sockaddr_in &>(v4).sin_family = AF_INET;
    reinterpret_cast<sockaddr_in &>(v4).sin_addr.s_addr = htonl(0x0a000001);
    sockaddr_storage v6 {};
    reinterpret_cast<sockaddr_in6 &>(v6).sin6_family = AF_INET6;
    const char name[] = "evil.example";
    for (const sockaddr_storage *address : {&empty, &v4, &v6}) {
        QCOMPARE(asBase.verify(*address), AccessManager::ALLOW);
        QCOMPARE(asBase.verify(*address, name, int(std::strlen(name))), AccessManager::ALLOW);
        QCOMPARE(asBase.verify(*address, nullptr, 0), AccessManager::ALLOW);
    }
    QCOMPARE(asBase.verify(std::string("127.0.0.1"), name, int(std::strlen(name))),
             AccessManager::ALLOW);
    QCOMPARE(asBase.verify(std::string(), "", 0), AccessManager::ALLOW);
    QCOMPARE(int(AccessManager::ALLOW), 1);
}

void SocketFactoriesTest::certificatePaths()
{
    ThriftSSLSocketFactory factory;
    QVERIFY(factory.getClientCertificate().isEmpty());
    QVERIFY(factory.getTrustedCertificate().isEmpty());
    // Files are read at every socket: a path set later applies to the next one.
    factory.setClientCertificate(path(QStringLiteral("missing.pem")));
    factory.setTrustedCertificate(path(QStringLiteral("ca.pem")));
    QVERIFY_EXCEPTION_THROWN(factory.createSocket(QStringLiteral("127.0.0.1"), 1), TSSLException);
    factory.setClientCertificate(path(QStringLiteral("client-bundle.pem")));
    QCOMPARE(factory.getClientCertificate(), path(QStringLiteral("client-bundle.pem")));
    QCOMPARE(factory.getTrustedCertificate(), path(QStringLiteral("ca.pem")));
    auto socket = factory.createSocket(QStringLiteral("127.0.0.1"), 1);
    QVERIFY(std::dynamic_pointer_cast<TSSLSocket>(socket));
    QVERIFY(!socket->isOpen());
    QCOMPARE(socket->getPort(), 1);
}

void SocketFactoriesTest::unusableCertificates_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("trusted");
    QTest::newRow("no client certificate") << ""
                                           << "ca.pem";
    QTest::newRow("client certificate missing") << "missing.pem"
                                                << "ca.pem";
    QTest::newRow("certificate without its key") << "client.pem"
                                                 << "ca.pem";
    QTest::newRow("no trusted certificates") << "client-bundle.pem"
                                             << "";
    QTest::newRow("trusted certificates missing") << "client-bundle.pem"
                                                  << "missing.pem";
}

void SocketFactoriesTest::unusableCertificates()
{
    QFETCH(QString, client);
    QFETCH(QString, trusted);
    AccountingTestServer server(serverTls(QStringLiteral("server")));
    auto factory = std::make_shared<RecordingSSLFactory>();
    factory->setClientCertificate(client.isEmpty() ? client : path(client));
    factory->setTrustedCertificate(trusted.isEmpty() ? trusted : path(trusted));
    ThriftTransportProvider provider(factory);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    log.clear();

    const int before = openDescriptors();
    QVERIFY_EXCEPTION_THROWN(provider.getTransport(), TSSLException);
    QCOMPARE(openDescriptors(), before); // no socket was made
    QCOMPARE(factory->dialled.size(), 1); // the second endpoint is not tried
    QCOMPARE(log.messages(QStringLiteral("thrifttransportprovider")).size(), 1);
    QCOMPARE(server.calls().size(), 0);
}

void SocketFactoriesTest::tlsCallsWithoutNameCheck()
{
    AccountingTestServer server(serverTls(QStringLiteral("server")));
    server.answer("balance", AccountingTestServer::echo());
    ThriftTransportProvider provider(clientTls(QStringLiteral("client")));
    provider.setReceiveTimeout(10000);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());

    // The bonus client's pattern: get, open again, call, close. The second
    // open must not dial a second connection or lose a descriptor.
    const int before = openDescriptors();
    for (int i = 0; i < 4; ++i) {
        auto transport = provider.getTransport();
        transport->open();
        transport->open();
        AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
        Result answer;
        client.balance(answer, "T-1", "2000123");
        QVERIFY(answer.success);
        QCOMPARE(answer.sessionId, std::string("2000123"));
        QVERIFY(transport->isOpen());
        transport->close();
        transport.reset();
        QTRY_COMPARE(openDescriptors(), before);
    }
    QCOMPARE(server.calls().size(), 4);
}

void SocketFactoriesTest::serverIdentity_data()
{
    QTest::addColumn<QString>("certificate"); // the server presents it
    QTest::addColumn<QString>("serverName"); // the till expects it
    QTest::addColumn<QString>("refusal"); // empty: the call is answered

    QTest::newRow("no name expected: any server of the CA") << "server"
                                                            << ""
                                                            << "";
    QTest::newRow("name in subjectAltName") << "named-server"
                                            << "accounting.shop.test"
                                            << "";
    QTest::newRow("name in another case") << "named-server"
                                          << "Accounting.Shop.Test"
                                          << "";
    QTest::newRow("address in subjectAltName") << "named-server"
                                               << "127.0.0.1"
                                               << "";
    QTest::newRow("wrong server name") << "named-server"
                                       << "evil.example"
                                       << "hostname mismatch";
    QTest::newRow("name's parent domain") << "named-server"
                                          << "shop.test"
                                          << "hostname mismatch";
    QTest::newRow("wrong address") << "named-server"
                                   << "127.0.0.2"
                                   << "IP address mismatch";
    QTest::newRow("name only in the subject's CN") << "cn-server"
                                                   << "accounting.shop.test"
                                                   << "hostname mismatch";
    QTest::newRow("till certificate as the server, no name expected")
        << "till"
        << ""
        << "unsuitable certificate purpose";
    QTest::newRow("till certificate as the server, name expected") << "till"
                                                                   << "accounting.shop.test"
                                                                   << "certificate";
    QTest::newRow("right name without serverAuth") << "signing"
                                                   << "accounting.shop.test"
                                                   << "unsuitable certificate purpose";
}

// The till proves the server before it sends anything: the refusal names
// the reason, and the server never sees a call.
void SocketFactoriesTest::serverIdentity()
{
    QFETCH(QString, certificate);
    QFETCH(QString, serverName);
    QFETCH(QString, refusal);
    AccountingTestServer server(serverTls(certificate));
    server.answer("balance", AccountingTestServer::echo());
    auto factory = clientTls(QStringLiteral("client"));
    factory->setServerName(serverName);
    QCOMPARE(factory->getServerName(), serverName);
    ThriftTransportProvider provider(factory);
    provider.setReceiveTimeout(5000);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());

    auto transport = provider.getTransport();
    AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
    Result answer;
    try {
        client.balance(answer, "T-1", "2000123");
        QVERIFY2(refusal.isEmpty(), "the server was accepted");
        QVERIFY(answer.success);
        QCOMPARE(server.calls().size(), 1);
    } catch (const TTransportException &e) {
        QVERIFY2(!refusal.isEmpty() && QString::fromUtf8(e.what()).contains(refusal), e.what());
        QCOMPARE(server.calls().size(), 0);
    }
    transport->close();
}

void SocketFactoriesTest::clientCertificateDemanded()
{
    AccountingTestServer server(serverTls(QStringLiteral("server")));
    ThriftTransportProvider provider(clientTls(QStringLiteral("rogue-client")));
    provider.setReceiveTimeout(5000);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), server.port());
    auto transport = provider.getTransport();
    AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
    Result answer;
    QVERIFY_EXCEPTION_THROWN(client.balance(answer, "T-1", "2000123"), TTransportException);
    QCOMPARE(server.calls().size(), 0);
    transport->close();
}

void SocketFactoriesTest::untrustedServerCountsAgainstEndpoint()
{
    AccountingTestServer rogue(serverTls(QStringLiteral("rogue-server")));
    AccountingTestServer trusted(serverTls(QStringLiteral("server")));
    trusted.answer("balance", AccountingTestServer::echo());
    auto factory = std::make_shared<RecordingSSLFactory>();
    factory->setClientCertificate(path(QStringLiteral("client-bundle.pem")));
    factory->setTrustedCertificate(path(QStringLiteral("ca.pem")));
    ThriftTransportProvider provider(factory);
    provider.setReceiveTimeout(5000);
    provider.addEndpoint(QStringLiteral("127.0.0.1"), rogue.port());
    provider.addEndpoint(QStringLiteral("127.0.0.1"), trusted.port());

    // TCP connects; the handshake at the first exchange refuses the server.
    auto transport = provider.getTransport();
    QCOMPARE(factory->dialled, QList<int>({rogue.port()}));
    {
        AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
        Result answer;
        try {
            client.balance(answer, "T-1", "2000123");
            QFAIL("a server from an untrusted CA was accepted");
        } catch (const TTransportException &e) {
            QVERIFY2(QByteArray(e.what()).contains("certificate"), e.what());
        }
    }
    transport->close();

    factory->dialled.clear();
    transport = provider.getTransport();
    QCOMPARE(factory->dialled, QList<int>({trusted.port()}));
    AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
    Result answer;
    client.balance(answer, "T-1", "2000123");
    QVERIFY(answer.success);
    QCOMPARE(rogue.calls().size(), 0);
    QCOMPARE(trusted.calls().size(), 1);
    transport->close();
}

QTEST_GUILESS_MAIN(SocketFactoriesTest)
#include "tst_socketfactories.moc"

void SocketFactoriesTest::sessionsResumed_data()
{
    QTest::addColumn<QString>("server"); // accounting-sim or one of Thrift's own
    QTest::addColumn<int>("resumed"); // of the three connections

    // accounting-sim issues TLS 1.3 tickets: the second and third resume.
    QTest::newRow("accounting-sim") << "sim" << 2;
    // Client certificates without a session id context: OpenSSL fails a
    // handshake that offers a session, and the till shakes hands again.
    QTest::newRow("a server that cannot resume") << "thrift" << 0;
    // No tickets: the session id the server gave is offered again.
    QTest::newRow("TLS 1.2, resumed by session id") << "tls12" << 2;
}

void SocketFactoriesTest::sessionsResumed()
{
    QFETCH(QString, server);
    QFETCH(int, resumed);
    const bool sim = server == QLatin1String("sim");

    QTemporaryDir ledger;
    SimProcess accounting;
    std::unique_ptr<AccountingTestServer> thriftServer;
    std::shared_ptr<Tls12ServerFactory> tls12;
    int port = 0;
    if (sim) {
        QVERIFY2(accounting.start(
                     {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                      QStringLiteral("--db"), ledger.filePath(QStringLiteral("l.sqlite")),
                      QStringLiteral("--card"), QStringLiteral("2000123=100"),
                      QStringLiteral("--terminal"), QStringLiteral("T-01"),
                      QStringLiteral("--tls-cert"), path(QStringLiteral("named-server.pem")),
                      QStringLiteral("--tls-key"), path(QStringLiteral("named-server.key")),
                      QStringLiteral("--tls-ca"), path(QStringLiteral("ca.pem"))}),
                 qPrintable(accounting.error()));
        port = accounting.port();
    } else {
        tls12 = std::make_shared<Tls12ServerFactory>(certificates);
        thriftServer = std::make_unique<AccountingTestServer>(
            server == QLatin1String("tls12") ? tls12 : serverTls(QStringLiteral("server")));
        thriftServer->answer("balance", AccountingTestServer::echo());
        port = thriftServer->port();
    }
    auto factory = clientTls(QStringLiteral("till"));
    factory->setServerName(QStringLiteral("accounting.shop.test"));
    if (!sim)
        factory->setServerName(QString());
    const int resumedBefore = TlsSessionCache::resumedHandshakes();

    // A connection each, as with keepAlive 0.
    for (int i = 0; i < 3; ++i) {
        ThriftTransportProvider provider(factory);
        provider.setReceiveTimeout(10000);
        provider.addEndpoint(QStringLiteral("127.0.0.1"), port);
        auto transport = provider.getTransport();
        AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
        Result answer;
        client.balance(answer, "T-01", "2000123");
        QVERIFY(answer.success);
        transport->close();
    }

    QCOMPARE(TlsSessionCache::resumedHandshakes() - resumedBefore, resumed);
    if (sim) {
        // As the server counts them.
        QTRY_COMPARE(accounting.lines().filter(QStringLiteral("session=resumed")).size(), resumed);
        QCOMPARE(accounting.lines().filter(QStringLiteral("session=full")).size(), 3 - resumed);
    } else if (server == QLatin1String("tls12")) {
        QCOMPARE(tls12->resumed(), long(resumed));
    }
}
