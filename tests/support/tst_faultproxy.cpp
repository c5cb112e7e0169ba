// The fault-injecting proxy between the generated Thrift client and the
// accounting test server: what the client sees of each fault, whether the
// server saw the call, which calls the rules pick, and a stop that does not
// wait for stalled peers.

#include "AccountingTestServer.h"
#include "FaultProxy.h"
#include "RawServer.h"
#include "ThriftMessages.h"

#include <QProcess>
#include <QtTest>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TSocket.h>

namespace api = accounting::logic::thriftapi;
using apache::thrift::TApplicationException;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TProtocolException;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransportException;

namespace {
const QString refusal = QStringLiteral("Карта \"Золотая\" заблокирована");
const QString balanceAnswer = QStringLiteral("reply true Баланс получен");
const QString commitAnswer = QStringLiteral("reply true Подтверждено");
const QString refused = QStringLiteral("reply false ") + refusal;

api::Result success(const QString &description)
{
    api::Result result;
    result.__set_success(true);
    result.__set_description(description.toStdString());
    result.__set_balance(12345);
    return result;
}

QString transportFailure(TTransportException::TTransportExceptionType type)
{
    return QStringLiteral("transport exception %1").arg(int(type));
}

// The generated client on a connection of its own. Strings are limited so
// that a declared length cannot make the test allocate gigabytes.
struct Client
{
    Client(quint16 port, int recvTimeoutMs = 5000, bool strict = true)
        : socket(std::make_shared<TSocket>("127.0.0.1", port))
        , thrift(std::make_shared<TBinaryProtocol>(socket, 1 << 20, 0, false, strict))
    {
        socket->setRecvTimeout(recvTimeoutMs);
        socket->open();
    }

    // What the caller sees: the reply, or the kind of exception.
    QString call(const QString &method)
    {
        try {
            api::Result result;
            if (method == QLatin1String("commitTransaction"))
                thrift.commitTransaction(result, "T-1", "S-1", "7770001");
            else
                thrift.balance(result, "T-1", "7770001");
            return QStringLiteral("reply %1 %2")
                       .arg(QLatin1String(result.success ? "true" : "false"),
                            QString::fromStdString(result.description))
                + (result.sessionId.empty()
                       ? QString()
                       : QStringLiteral(" session ") + QString::fromStdString(result.sessionId));
        } catch (const TApplicationException &e) {
            return QStringLiteral("application exception %1: %2")
                .arg(e.getType())
                .arg(QString::fromUtf8(e.what()));
        } catch (const TProtocolException &e) {
            return QStringLiteral("protocol exception %1").arg(e.getType());
        } catch (const TTransportException &e) {
            return transportFailure(e.getType());
        }
    }

    std::shared_ptr<TSocket> socket;
    api::AccountingLogicServiceClient thrift;
};

QStringList seenCalls(const FaultProxy &proxy)
{
    QStringList calls;
    for (const FaultProxy::Seen &seen : proxy.seen())
        calls << seen.method + QLatin1Char(' ') + FaultProxy::faultName(seen.fault);
    return calls;
}

// A rule whose refusal or exception carries this suite's text.
FaultProxy::Rule rule(const QString &method, int nth, FaultProxy::Fault fault, int delayMs = 0)
{
    return FaultProxy::rule(method, nth, fault, delayMs,
                            fault == FaultProxy::ReplaceSession ? QStringLiteral("S-99") : refusal);
}
} // namespace

class FaultProxyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void faults_data();
    void faults();
    void rulesChooseCalls_data();
    void rulesChooseCalls();
    void randomFaultsReplay();
    void stopsWhileStalled();

private:
    AccountingTestServer server;
};

void FaultProxyTest::initTestCase()
{
    server.answer("balance", success(QStringLiteral("Баланс получен")));
    server.answer("commitTransaction", success(QStringLiteral("Подтверждено")));
}

void FaultProxyTest::faults_data()
{
    QTest::addColumn<FaultProxy::Fault>("fault");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("recvTimeoutMs");
    QTest::addColumn<bool>("strict");
    QTest::addColumn<QString>("clientSees");
    QTest::addColumn<bool>("forwarded");

    const QString hangUp = transportFailure(TTransportException::END_OF_FILE);
    QTest::newRow("Pass") << FaultProxy::Pass << 0 << 5000 << true << balanceAnswer << true;
    QTest::newRow("Pass, old unversioned header")
        << FaultProxy::Pass << 0 << 5000 << false << balanceAnswer << true;
    QTest::newRow("Refuse") << FaultProxy::Refuse << 0 << 5000 << true << refused << false;
    QTest::newRow("Refuse, old unversioned header")
        << FaultProxy::Refuse << 0 << 5000 << false << refused << false;
    QTest::newRow("DropReply") << FaultProxy::DropReply << 0 << 5000 << true << hangUp << true;
    QTest::newRow("HoldReply") << FaultProxy::HoldReply << 100 << 5000 << true << hangUp << true;
    // The proxy is destroyed while it still holds the reply.
    QTest::newRow("HoldReply past the client's limit")
        << FaultProxy::HoldReply << 60000 << 300 << true
        << transportFailure(TTransportException::TIMED_OUT) << true;
    QTest::newRow("Drip") << FaultProxy::Drip << 2 << 5000 << true << balanceAnswer << true;
    // Each byte comes later than the client waits for one.
    QTest::newRow("Drip slower than the client's limit")
        << FaultProxy::Drip << 400 << 200 << true
        << transportFailure(TTransportException::TIMED_OUT) << true;
    QTest::newRow("Garbage")
        << FaultProxy::Garbage << 0 << 5000 << true
        << QStringLiteral("protocol exception %1").arg(TProtocolException::BAD_VERSION) << true;
    QTest::newRow("HugeLength")
        << FaultProxy::HugeLength << 0 << 5000 << true
        << QStringLiteral("protocol exception %1").arg(TProtocolException::SIZE_LIMIT) << true;
    QTest::newRow("Exception") << FaultProxy::Exception << 0 << 5000 << true
                               << QStringLiteral("application exception %1: %2")
                                      .arg(TApplicationException::INTERNAL_ERROR)
                                      .arg(refusal)
                               << false;
    QTest::newRow("KillHost") << FaultProxy::KillHost << 0 << 5000 << true << balanceAnswer << true;
    QTest::newRow("KillHostBeforeReply")
        << FaultProxy::KillHostBeforeReply << 0 << 5000 << true << hangUp << true;
    QTest::newRow("DelayReply") << FaultProxy::DelayReply << 100 << 5000 << true << balanceAnswer
                                << true;
    QTest::newRow("ReplaceSession") << FaultProxy::ReplaceSession << 0 << 5000 << true
                                    << balanceAnswer + QStringLiteral(" session S-99") << true;
}

void FaultProxyTest::faults()
{
    QFETCH(FaultProxy::Fault, fault);
    QFETCH(int, delayMs);
    QFETCH(int, recvTimeoutMs);
    QFETCH(bool, strict);
    QFETCH(QString, clientSees);
    QFETCH(bool, forwarded);

    // Stands in for payment-host: a process of our own to be killed.
    QProcess host;
    host.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(host.waitForStarted());
    const int before = server.calls().size();
    FaultProxy proxy(quint16(server.port()));
    proxy.setHostPid(host.processId());
    proxy.addRule(rule(QStringLiteral("balance"), 0, fault, delayMs));

    Client client(proxy.port(), recvTimeoutMs, strict);
    QCOMPARE(client.call(QStringLiteral("balance")), clientSees);
    QCOMPARE(seenCalls(proxy),
             QStringList {QStringLiteral("balance ") + FaultProxy::faultName(fault)});
    QCOMPARE(proxy.count(QStringLiteral("balance")), 1);
    // Done with unless it still holds or drips the reply, even while the
    // client keeps a broken connection open.
    if (delayMs < recvTimeoutMs)
        QVERIFY(proxy.waitForCalls(1, 5000));
    if (forwarded)
        QTRY_COMPARE(server.calls().size(), before + 1);
    else
        QCOMPARE(server.calls().size(), before);
    if (fault == FaultProxy::KillHost || fault == FaultProxy::KillHostBeforeReply) {
        QVERIFY(host.waitForFinished(5000));
        QCOMPARE(host.exitStatus(), QProcess::CrashExit);
    } else {
        QCOMPARE(host.state(), QProcess::Running);
        host.kill();
        host.waitForFinished();
    }
}

void FaultProxyTest::rulesChooseCalls_data()
{
    QTest::addColumn<QList<FaultProxy::Rule>>("rules");
    QTest::addColumn<bool>("strict");
    QTest::addColumn<QStringList>("seen");

    const QString balance = QStringLiteral("balance ");
    const QString commit = QStringLiteral("commitTransaction ");
    const QString pass = QStringLiteral("Pass");
    const QString refuse = QStringLiteral("Refuse");
    QTest::newRow("no rule") << QList<FaultProxy::Rule>() << true
                             << QStringList {balance + pass, balance + pass, balance + pass,
                                             commit + pass};
    const QList<FaultProxy::Rule> second {rule(QStringLiteral("balance"), 2, FaultProxy::Refuse)};
    const QStringList secondSeen {balance + pass, balance + refuse, balance + pass, commit + pass};
    QTest::newRow("second balance") << second << true << secondSeen;
    QTest::newRow("second balance, old unversioned headers") << second << false << secondSeen;
    QTest::newRow("every commit") << QList<FaultProxy::Rule> {rule(
        QStringLiteral("commitTransaction"), 0, FaultProxy::Refuse)}
                                  << true
                                  << QStringList {balance + pass, balance + pass, balance + pass,
                                                  commit + refuse};
    QTest::newRow("any method, first of each")
        << QList<FaultProxy::Rule> {rule(QString(), 1, FaultProxy::Refuse)} << true
        << QStringList {balance + refuse, balance + pass, balance + pass, commit + refuse};
    FaultProxy::Rule never = rule(QStringLiteral("balance"), 0, FaultProxy::Refuse);
    never.probability = 0;
    QTest::newRow("a rule that never happens")
        << QList<FaultProxy::Rule> {never} << true
        << QStringList {balance + pass, balance + pass, balance + pass, commit + pass};
    QTest::newRow("first matching rule wins")
        << QList<FaultProxy::Rule> {rule(QStringLiteral("balance"), 0, FaultProxy::Pass),
                                    rule(QString(), 0, FaultProxy::Refuse)}
        << true << QStringList {balance + pass, balance + pass, balance + pass, commit + refuse};
}

void FaultProxyTest::rulesChooseCalls()
{
    QFETCH(QList<FaultProxy::Rule>, rules);
    QFETCH(bool, strict);
    QFETCH(QStringList, seen);

    const int before = server.calls().size();
    FaultProxy proxy(quint16(server.port()));
    for (const FaultProxy::Rule &rule : rules)
        proxy.addRule(rule);

    // All calls on one connection: the proxy must find where each ends.
    Client client(proxy.port(), 5000, strict);
    QStringList answers;
    QStringList expected;
    for (const QString &call : seen) {
        const QString method = call.section(QLatin1Char(' '), 0, 0);
        answers << client.call(method);
        expected << (call.endsWith(QLatin1String("Refuse"))   ? refused
                         : method == QLatin1String("balance") ? balanceAnswer
                                                              : commitAnswer);
    }
    QCOMPARE(answers, expected);
    QCOMPARE(seenCalls(proxy), seen);
    QCOMPARE(proxy.count(QStringLiteral("balance")), 3);
    QCOMPARE(proxy.count(QStringLiteral("commitTransaction")), 1);
    QCOMPARE(server.calls().size() - before, seen.filter(QStringLiteral(" Pass")).size());

    // Cleared, the same connection passes calls and counts from 1 again.
    proxy.clearRules();
    QCOMPARE(proxy.seen().size(), 0);
    QCOMPARE(proxy.count(QStringLiteral("balance")), 0);
    QCOMPARE(client.call(QStringLiteral("balance")), balanceAnswer);
    QCOMPARE(seenCalls(proxy), QStringList {QStringLiteral("balance Pass")});
    QVERIFY(proxy.waitForCalls(1, 5000));
}

void FaultProxyTest::randomFaultsReplay()
{
    // Two runs with the same seed: the same faults on the same calls, and
    // rules still come first.
    QStringList runs[2];
    for (QStringList &run : runs) {
        FaultProxy proxy(quint16(server.port()));
        proxy.setRandomFaults(2024, 0.5, {FaultProxy::Refuse, FaultProxy::Exception}, 0, refusal);
        proxy.addRule(rule(QStringLiteral("commitTransaction"), 0, FaultProxy::Pass));
        Client client(proxy.port());
        for (int i = 0; i < 12; ++i)
            run << client.call(i % 3 == 2 ? QStringLiteral("commitTransaction")
                                          : QStringLiteral("balance"));
        run += seenCalls(proxy);
    }
    QCOMPARE(runs[0], runs[1]);
    for (const QString &fault :
         {QStringLiteral("Pass"), QStringLiteral("Refuse"), QStringLiteral("Exception")})
        QVERIFY2(runs[0].contains(QStringLiteral("balance ") + fault), qPrintable(fault));
    QCOMPARE(runs[0].filter(QStringLiteral("commitTransaction Pass")).size(), 4);
    QCOMPARE(runs[0].count(commitAnswer), 4);
}

void FaultProxyTest::stopsWhileStalled()
{
    // The server takes the call and never answers; a second client stops in
    // the middle of its call. The proxy must stop all the same.
    RawServer silent([](int descriptor) { LoopbackSocket::waitForPeerClose(descriptor); });
    auto proxy = std::make_unique<FaultProxy>(quint16(silent.port()));
    Client waiting(proxy->port(), 300);
    QCOMPARE(waiting.call(QStringLiteral("balance")),
             transportFailure(TTransportException::TIMED_OUT));
    QTRY_COMPARE(silent.accepted(), 1);

    Client halfway(proxy->port());
    const QByteArray header
        = ThriftMessages::header(apache::thrift::protocol::T_CALL, QByteArrayLiteral("balance"));
    halfway.socket->write(reinterpret_cast<const uint8_t *>(header.constData()),
                          uint32_t(header.size() - 2));
    proxy.reset();
}

QTEST_GUILESS_MAIN(FaultProxyTest)
#include "tst_faultproxy.moc"
