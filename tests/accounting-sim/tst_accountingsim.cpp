#include "SimClient.h"
#include "SimProcess.h"

#include <thrift/transport/TTransportException.h>

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

using Result = SimClient::Result;
using Client = SimClient::Client;

namespace {

QString description(const Result &result)
{
    return QString::fromStdString(result.description);
}

} // namespace

class TestAccountingSim : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void commitMovesBalanceOnce_data();
    void commitMovesBalanceOnce();
    void pendingMoneyIsHeldUntilCommitOrRollback();
    void sessionIdIsTheServers();
    void callLogLines();
    void refusals_data();
    void refusals();
    void restartKeepsLedger();
    void twoClientsAtOnce();
    void concurrentPaymentsNeverOverdraw();
    void stopSignals_data();
    void stopSignals();
    void badCommandLine_data();
    void badCommandLine();
    void busyPortFails();

    void cleanupTestCase();

private:
    QStringList arguments(const QStringList &extra = {}) const;
    QString dbPath() const { return m_dir->filePath(QStringLiteral("ledger.db")); }

    std::unique_ptr<QTemporaryDir> m_dir;
    // Outlives the per-test directories: the shared server keeps its ledger here.
    QTemporaryDir m_refusalDir;
    std::unique_ptr<SimProcess> m_refusalServer;
    int m_refusalCalls = 0;
};

void TestAccountingSim::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QStringList TestAccountingSim::arguments(const QStringList &extra) const
{
    return QStringList {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                        QStringLiteral("--db"), dbPath()}
    + extra;
}

void TestAccountingSim::commitMovesBalanceOnce_data()
{
    QTest::addColumn<bool>("refund");
    QTest::addColumn<qint64>("amount");
    QTest::addColumn<qint64>("after");

    QTest::newRow("sale") << false << qint64(2550) << qint64(7450);
    QTest::newRow("sale of the whole balance") << false << qint64(10000) << qint64(0);
    QTest::newRow("refund") << true << qint64(2550) << qint64(12550);
}

void TestAccountingSim::commitMovesBalanceOnce()
{
    QFETCH(bool, refund);
    QFETCH(qint64, amount);
    QFETCH(qint64, after);

    SimProcess sim;
    QVERIFY2(sim.start(arguments({QStringLiteral("--card"), QStringLiteral("7001=10000:300")})),
             qPrintable(sim.error()));
    SimClient client(sim.port());

    const Result opened
        = refund ? client.makePayBack("T1", "7001", amount) : client.makePay("T1", "7001", amount);
    QVERIFY2(opened.success, opened.description.c_str());
    // The answer carries the committed balance, untouched until the commit.
    QCOMPARE(opened.balance, 10000);
    QCOMPARE(opened.balanceInactive, 300);
    QCOMPARE(client.balance("T1", "7001").balance, 10000);

    const Result committed = client.commit("T1", opened.sessionId, "7001");
    QVERIFY2(committed.success, committed.description.c_str());
    QCOMPARE(committed.balance, after);
    QCOMPARE(committed.sessionId, opened.sessionId);

    const Result again = client.commit("T1", opened.sessionId, "7001");
    QVERIFY(!again.success);
    QCOMPARE(description(again), QStringLiteral("Транзакция уже завершена"));
    const Result late = client.rollback("T1", opened.sessionId, "7001");
    QVERIFY(!late.success);
    QCOMPARE(description(late), QStringLiteral("Транзакция уже завершена"));

    const Result balance = client.balance("T1", "7001");
    QVERIFY(balance.success);
    QCOMPARE(balance.balance, after);
    QCOMPARE(balance.balanceInactive, 300);
    QCOMPARE(sim.stop(SIGTERM), 0);
}

void TestAccountingSim::pendingMoneyIsHeldUntilCommitOrRollback()
{
    SimProcess sim;
    QVERIFY2(sim.start(arguments({QStringLiteral("--card"), QStringLiteral("7001=10000")})),
             qPrintable(sim.error()));
    SimClient client(sim.port());

    const Result first = client.makePay("T1", "7001", 6000);
    QVERIFY(first.success);
    QCOMPARE(client.balance("T1", "7001").balance, 10000);

    // 6000 is promised to the first payment: 5000 more is more than is left.
    const Result second = client.makePay("T1", "7001", 5000);
    QVERIFY(!second.success);
    QCOMPARE(description(second), QStringLiteral("Недостаточно средств на карте"));
    QVERIFY(client.makePay("T1", "7001", 4000).success);

    const Result rolledBack = client.rollback("T1", first.sessionId, "7001");
    QVERIFY2(rolledBack.success, rolledBack.description.c_str());
    QCOMPARE(description(rolledBack), QStringLiteral("Транзакция отменена"));
    QCOMPARE(rolledBack.balance, 10000);
    QCOMPARE(client.balance("T1", "7001").balance, 10000);

    const Result commitAfterRollback = client.commit("T1", first.sessionId, "7001");
    QVERIFY(!commitAfterRollback.success);
    QCOMPARE(description(commitAfterRollback), QStringLiteral("Транзакция уже завершена"));
    QCOMPARE(client.balance("T1", "7001").balance, 10000);

    // The rolled back 6000 is free again; 4000 is still pending.
    QVERIFY(client.makePay("T1", "7001", 6000).success);
    QVERIFY(!client.makePay("T1", "7001", 1).success);
    QCOMPARE(sim.stop(SIGTERM), 0);
}

void TestAccountingSim::sessionIdIsTheServers()
{
    SimProcess sim;
    QVERIFY2(sim.start(arguments({QStringLiteral("--card"), QStringLiteral("7001=10000")})),
             qPrintable(sim.error()));
    SimClient client(sim.port());

    const std::string tillId = "0915071231234";
    const Result a = client.makePay("T1", "7001", 1234, tillId);
    const Result b = client.makePay("T1", "7001", 1234, tillId);
    QVERIFY(a.success && b.success);
    QVERIFY(!a.sessionId.empty());
    QVERIFY(a.sessionId != tillId);
    QVERIFY(b.sessionId != tillId);
    QVERIFY(a.sessionId != b.sessionId);

    const Result byTillId = client.commit("T1", tillId, "7001");
    QVERIFY(!byTillId.success);
    QCOMPARE(description(byTillId), QStringLiteral("Транзакция не найдена"));
    QVERIFY(client.commit("T1", a.sessionId, "7001").success);
    QCOMPARE(client.balance("T1", "7001").balance, 10000 - 1234);
    QCOMPARE(sim.stop(SIGTERM), 0);
}

void TestAccountingSim::callLogLines()
{
    SimProcess sim;
    QVERIFY2(sim.start(arguments({QStringLiteral("--card"), QStringLiteral("7001=10000:300")})),
             qPrintable(sim.error()));
    SimClient client(sim.port());

    const Result opened = client.makePay("T-01", "7001", 2550, "0915071232550");
    client.commit("T-01", opened.sessionId, "7001");
    client.balance("", "7001");
    client.makePay("T-01", "7001", 999999, "0915071239.99999e+07");
    client.call([](Client &c, Result &r) { c.cancel(r, "T-01", "0915071230", 1); });

    const QString session = QString::fromStdString(opened.sessionId);
    const QStringList lines = sim.waitForLines(5);
    const QStringList expected {
        QStringLiteral("makePay terminal=T-01 card=7001 amount=2550 session=%1"
                       " clientSession=0915071232550 outcome=ok balance=10000"
                       " description=Оплата ожидает подтверждения")
            .arg(session),
        QStringLiteral("commitTransaction terminal=T-01 card=7001 amount=- session=%1"
                       " clientSession=- outcome=ok balance=7450"
                       " description=Транзакция подтверждена")
            .arg(session),
        QStringLiteral("balance terminal=\"\" card=7001 amount=- session=- clientSession=-"
                       " outcome=ok balance=7450 description=Баланс получен"),
        QStringLiteral("makePay terminal=T-01 card=7001 amount=999999 session=-"
                       " clientSession=0915071239.99999e+07 outcome=refused balance=7450"
                       " description=Недостаточно средств на карте"),
        QStringLiteral("cancel terminal=T-01 card=- amount=- session=- clientSession=0915071230"
                       " outcome=refused balance=0 description=Метод не поддерживается"),
    };
    QCOMPARE(lines, expected);
    QCOMPARE(sim.stop(SIGTERM), 0);
    // Connections of finished threads went away without complaints.
    QCOMPARE(sim.process().readAllStandardError(), QByteArray());
}

void TestAccountingSim::refusals_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("terminal");
    QTest::addColumn<QString>("card");
    QTest::addColumn<qint64>("amount");
    // "pending": a payment of 100 on card 7001 made by T1 just before.
    QTest::addColumn<QString>("session");
    QTest::addColumn<QString>("expected");

    const QString noMoney = QStringLiteral("Недостаточно средств на карте");
    const QString noCard = QStringLiteral("Карта не найдена");
    const QString noTerminal = QStringLiteral("Терминал не зарегистрирован");
    const QString noSession = QStringLiteral("Транзакция не найдена");
    const QString badAmount = QStringLiteral("Сумма операции должна быть больше нуля");
    const QString otherCard = QStringLiteral("Карта не соответствует транзакции");
    const QString unsupported = QStringLiteral("Метод не поддерживается");

    QTest::newRow("pay above the balance") << "makePay"
                                           << "T1"
                                           << "7001" << qint64(10001) << "" << noMoney;
    QTest::newRow("pay above what the pending payment left")
        << "makePay"
        << "T1"
        << "7001" << qint64(9901) << "pending" << noMoney;
    QTest::newRow("balance of an unknown card") << "balance"
                                                << "T1"
                                                << "9999" << qint64(0) << "" << noCard;
    QTest::newRow("pay with an unknown card") << "makePay"
                                              << "T1"
                                              << "9999" << qint64(100) << "" << noCard;
    QTest::newRow("refund to an unknown card") << "makePayBack"
                                               << "T1"
                                               << "9999" << qint64(100) << "" << noCard;
    QTest::newRow("card number differs in case of letters") << "balance"
                                                            << "T1"
                                                            << "7001a" << qint64(0) << "" << noCard;
    QTest::newRow("zero payment") << "makePay"
                                  << "T1"
                                  << "7001" << qint64(0) << "" << badAmount;
    QTest::newRow("negative refund") << "makePayBack"
                                     << "T1"
                                     << "7001" << qint64(-100) << "" << badAmount;
    QTest::newRow("balance from a terminal not listed") << "balance"
                                                        << "T3"
                                                        << "7001" << qint64(0) << "" << noTerminal;
    QTest::newRow("pay from a terminal not listed") << "makePay"
                                                    << "T3"
                                                    << "7001" << qint64(100) << "" << noTerminal;
    QTest::newRow("pay from an empty terminal id") << "makePay"
                                                   << ""
                                                   << "7001" << qint64(100) << "" << noTerminal;
    QTest::newRow("commit from a terminal not listed")
        << "commitTransaction"
        << "T3"
        << "7001" << qint64(0) << "pending" << noTerminal;
    QTest::newRow("commit of an unknown session")
        << "commitTransaction"
        << "T1"
        << "7001" << qint64(0) << "AS99999999" << noSession;
    QTest::newRow("commit of an empty session") << "commitTransaction"
                                                << "T1"
                                                << "7001" << qint64(0) << "" << noSession;
    QTest::newRow("rollback of an unknown session")
        << "rollbackTransaction"
        << "T1"
        << "7001" << qint64(0) << "AS99999999" << noSession;
    QTest::newRow("commit with another card") << "commitTransaction"
                                              << "T1"
                                              << "7002" << qint64(0) << "pending" << otherCard;
    QTest::newRow("rollback with another card") << "rollbackTransaction"
                                                << "T1"
                                                << "7002" << qint64(0) << "pending" << otherCard;
    for (const char *method : {"pay", "cancel", "back", "add", "sub", "makeEarn", "makeEarnBack"})
        QTest::newRow(method) << method << "T1"
                              << "7001" << qint64(100) << "" << unsupported;
}

void TestAccountingSim::refusals()
{
    QFETCH(QString, method);
    QFETCH(QString, terminal);
    QFETCH(QString, card);
    QFETCH(qint64, amount);
    QFETCH(QString, session);
    QFETCH(QString, expected);

    // One server for every row: each row leaves the ledger as it found it.
    if (!m_refusalServer) {
        m_refusalServer = std::make_unique<SimProcess>();
        QVERIFY2(m_refusalServer->start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                         QStringLiteral("--db"),
                                         m_refusalDir.filePath(QStringLiteral("ledger.db")),
                                         QStringLiteral("--card"), QStringLiteral("7001=10000"),
                                         QStringLiteral("--card"), QStringLiteral("7002=500"),
                                         QStringLiteral("--terminal"), QStringLiteral("T1"),
                                         QStringLiteral("--terminal"), QStringLiteral("T2")}),
                 qPrintable(m_refusalServer->error()));
    }
    SimProcess &sim = *m_refusalServer;
    SimClient client(sim.port());

    // Every call on this server so far is one line, this row's included.
    int &calls = m_refusalCalls;
    std::string pending;
    if (session == QLatin1String("pending")) {
        const Result opened = client.makePay("T1", "7001", 100);
        QVERIFY(opened.success);
        pending = opened.sessionId;
        ++calls;
    }
    const std::string t = terminal.toStdString();
    const std::string c = card.toStdString();
    const std::string s = pending.empty() ? session.toStdString() : pending;
    const std::string m = method.toStdString();
    const Result answer = client.call([&](Client &cl, Result &r) {
        const accounting::logic::thriftapi::AdditionalAssetInfo info;
        const accounting::logic::thriftapi::AssetGroup group;
        if (m == "balance")
            cl.balance(r, t, c);
        else if (m == "makePay")
            cl.makePay(r, t, s, c, amount, info);
        else if (m == "makePayBack")
            cl.makePayBack(r, t, s, c, amount, info);
        else if (m == "commitTransaction")
            cl.commitTransaction(r, t, s, c);
        else if (m == "rollbackTransaction")
            cl.rollbackTransaction(r, t, s, c);
        else if (m == "pay")
            cl.pay(r, t, s, c, amount, info);
        else if (m == "cancel")
            cl.cancel(r, t, s, 0);
        else if (m == "back")
            cl.back(r, t, s, c, amount, info);
        else if (m == "add")
            cl.add(r, t, s, c, amount, info, group);
        else if (m == "sub")
            cl.sub(r, t, s, c, amount, info, group);
        else if (m == "makeEarn")
            cl.makeEarn(r, t, s, c, amount, info, group);
        else if (m == "makeEarnBack")
            cl.makeEarnBack(r, t, s, c, amount, info, group);
        else
            QFAIL("no such method in the table");
    });
    ++calls;

    QVERIFY(!answer.success);
    QCOMPARE(description(answer), expected);
    const QStringList lines = sim.waitForLines(calls);
    QCOMPARE(lines.size(), calls);
    QVERIFY2(lines.last().startsWith(method + QLatin1Char(' ')), qPrintable(lines.last()));
    QVERIFY2(lines.last().contains(QStringLiteral(" outcome=refused ")), qPrintable(lines.last()));
    QVERIFY2(lines.last().endsWith(QStringLiteral(" description=") + expected),
             qPrintable(lines.last()));

    // Nothing moved, and a refused commit or rollback left the transaction usable.
    QCOMPARE(client.balance("T1", "7001").balance, 10000);
    QCOMPARE(client.balance("T1", "7002").balance, 500);
    calls += 2;
    if (!pending.empty()) {
        const Result rolledBack = client.rollback("T1", pending, "7001");
        QVERIFY2(rolledBack.success, rolledBack.description.c_str());
        ++calls;
    }
}

void TestAccountingSim::cleanupTestCase()
{
    if (m_refusalServer)
        QCOMPARE(m_refusalServer->stop(SIGTERM), 0);
}

void TestAccountingSim::restartKeepsLedger()
{
    const QStringList seed {QStringLiteral("--card"), QStringLiteral("7001=10000:250")};
    std::string pending;
    std::string committedSession;
    {
        SimProcess sim;
        QVERIFY2(sim.start(arguments(seed)), qPrintable(sim.error()));
        SimClient client(sim.port());
        const Result paid = client.makePay("T1", "7001", 4000);
        QVERIFY(client.commit("T1", paid.sessionId, "7001").success);
        committedSession = paid.sessionId;
        pending = client.makePay("T1", "7001", 1000).sessionId;
        QVERIFY(!pending.empty());
        QCOMPARE(sim.stop(SIGTERM), 0);
    }

    SimProcess sim;
    QVERIFY2(sim.start(arguments(
                 seed + QStringList {QStringLiteral("--card"), QStringLiteral("Карта-7003=700")})),
             qPrintable(sim.error()));
    SimClient client(sim.port());
    const Result kept = client.balance("T1", "7001");
    QVERIFY(kept.success);
    QCOMPARE(kept.balance, 6000);
    QCOMPARE(kept.balanceInactive, 250);
    // A non-ASCII card number goes through as UTF-8 (the server runs under LC_ALL=C).
    QCOMPARE(client.balance("T1", "Карта-7003").balance, 700);

    // Transactions outlive the restart too, and new ones get new ids.
    const Result again = client.commit("T1", committedSession, "7001");
    QCOMPARE(description(again), QStringLiteral("Транзакция уже завершена"));
    const Result fresh = client.makePay("T1", "7001", 10);
    QVERIFY(fresh.sessionId != pending && fresh.sessionId != committedSession);
    QCOMPARE(client.commit("T1", pending, "7001").balance, 5000);
    QCOMPARE(sim.stop(SIGTERM), 0);
}

void TestAccountingSim::twoClientsAtOnce()
{
    SimProcess sim;
    QVERIFY2(sim.start(arguments({QStringLiteral("--card"), QStringLiteral("7001=10000")})),
             qPrintable(sim.error()));
    SimClient first(sim.port());
    SimClient second(sim.port());
    const SimClient::Call balance = [](Client &c, Result &r) { c.balance(r, "T1", "7001"); };

    // A server that serves one connection at a time would keep the second
    // waiting behind the idle first one until the receive time limit.
    first.connect();
    QVERIFY(first.callConnected(balance).success);
    second.connect();
    QVERIFY(second.callConnected(balance).success);
    QVERIFY(first.callConnected(balance).success);
    second.disconnect();

    // Stopping does not wait for the idle connection to go away.
    QCOMPARE(sim.stop(SIGTERM), 0);
    QVERIFY_EXCEPTION_THROWN(first.callConnected(balance),
                             apache::thrift::transport::TTransportException);
}

void TestAccountingSim::concurrentPaymentsNeverOverdraw()
{
    SimProcess sim;
    QVERIFY2(sim.start(arguments({QStringLiteral("--card"), QStringLiteral("7001=10000")})),
             qPrintable(sim.error()));

    std::atomic<int> accepted {0};
    std::atomic<int> failures {0};
    std::vector<std::thread> tills;
    for (int till = 0; till < 4; ++till) {
        tills.emplace_back([&] {
            SimClient client(sim.port());
            for (int i = 0; i < 6; ++i) {
                try {
                    const Result paid = client.makePay("T1", "7001", 1000);
                    if (paid.success && client.commit("T1", paid.sessionId, "7001").success)
                        ++accepted;
                } catch (const std::exception &) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread &till : tills)
        till.join();

    QCOMPARE(failures.load(), 0);
    QCOMPARE(accepted.load(), 10);
    SimClient client(sim.port());
    QCOMPARE(client.balance("T1", "7001").balance, 0);
    QCOMPARE(sim.stop(SIGTERM), 0);
}

void TestAccountingSim::stopSignals_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestAccountingSim::stopSignals()
{
    QFETCH(int, signal);
    SimProcess sim;
    QVERIFY2(sim.start(arguments()), qPrintable(sim.error()));
    QCOMPARE(sim.stop(signal), 0);
    QCOMPARE(sim.process().readAllStandardError(), QByteArray());
}

void TestAccountingSim::badCommandLine_data()
{
    // Arguments separated by spaces; '' is an empty argument.
    QTest::addColumn<QString>("args");
    const QString base = QStringLiteral("--listen 127.0.0.1:0 --db x.db ");

    QTest::newRow("nothing") << QString();
    QTest::newRow("no --db") << "--listen 127.0.0.1:0";
    QTest::newRow("no --listen") << "--db x.db";
    QTest::newRow("--db without a value") << "--listen 127.0.0.1:0 --db";
    QTest::newRow("no port") << "--listen 127.0.0.1 --db x.db";
    QTest::newRow("no host") << "--listen :0 --db x.db";
    QTest::newRow("port out of range") << "--listen 127.0.0.1:65536 --db x.db";
    QTest::newRow("port not a number") << "--listen 127.0.0.1:http --db x.db";
    QTest::newRow("card without amount") << base + "--card 7001";
    QTest::newRow("card without number") << base + "--card =100";
    QTest::newRow("negative balance") << base + "--card 7001=-5";
    QTest::newRow("roubles, not kopecks") << base + "--card 7001=12.50";
    QTest::newRow("bad inactive balance") << base + "--card 7001=100:x";
    QTest::newRow("same card twice") << base + "--card 7001=1 --card 7001=2";
    QTest::newRow("empty terminal") << base + "--terminal ''";
    QTest::newRow("unknown option") << base + "--verbose 1";
    QTest::newRow("stray argument") << base + "extra";
}

void TestAccountingSim::badCommandLine()
{
    QFETCH(QString, args);
    QStringList arguments = args.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    arguments.replaceInStrings(QStringLiteral("''"), QString());
    QProcess sim;
    sim.setWorkingDirectory(m_dir->path());
    sim.start(SimProcess::program(), arguments);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 2);
    QCOMPARE(sim.readAllStandardOutput(), QByteArray());
    const QByteArray err = sim.readAllStandardError();
    QVERIFY2(err.startsWith("accounting-sim: ") && err.endsWith('\n') && err.count('\n') == 1,
             err.constData());
    // Nothing was created before the arguments were checked.
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("x.db"))));
}

void TestAccountingSim::busyPortFails()
{
    SimProcess first;
    QVERIFY2(first.start(arguments()), qPrintable(first.error()));

    QProcess second;
    second.start(SimProcess::program(),
                 {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(first.port()),
                  QStringLiteral("--db"), m_dir->filePath(QStringLiteral("other.db"))});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 1);
    const QList<QByteArray> err = second.readAllStandardError().trimmed().split('\n');
    QVERIFY2(err.last().startsWith(QStringLiteral("accounting-sim: cannot serve on 127.0.0.1:%1: ")
                                       .arg(first.port())
                                       .toUtf8()),
             err.last().constData());
    QCOMPARE(first.stop(SIGTERM), 0);
}

QTEST_GUILESS_MAIN(TestAccountingSim)
#include "tst_accountingsim.moc"
