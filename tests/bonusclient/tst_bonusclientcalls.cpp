// The bonus client against servers on 127.0.0.1: well-behaved ones built on
// the generated processor, and raw ones that fail the exchange.

#include "AccountingTestServer.h"
#include "Clock.h"
#include "Limits.h"
#include "LogCapture.h"
#include "RawServer.h"
#include "RefusedPort.h"
#include "TempTill.h"
#include "ThriftMessages.h"
#include "VeltaBonusClientThrift.h"
#include "WireTap.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <atomic>
#include <functional>
#include <mutex>

#include <sys/socket.h>

namespace api = accounting::logic::thriftapi;
using apache::thrift::TApplicationException;
using apache::thrift::protocol::T_CALL;

namespace {
const QString terminal = QStringLiteral("Касса №1");
const QString card = QStringLiteral("7770001");
const QString veltabonus = QStringLiteral("veltabonus");

api::Result answer(bool success, const std::string &sessionId, const QString &description,
                   int64_t balance, int64_t balanceInactive = 0)
{
    api::Result result;
    result.__set_success(success);
    result.__set_sessionId(sessionId);
    result.__set_description(description.toUtf8().toStdString());
    result.__set_balance(balance);
    result.__set_balanceInactive(balanceInactive);
    return result;
}

QByteArray utf8(const std::string &text)
{
    return QByteArray(text.data(), int(text.size()));
}

// What the cashier would see of an exception: its text, and the kind of the
// client's own error (-1: another exception).
struct Outcome
{
    bool thrown = false;
    int kind = -1;
    QByteArray text;
};

Outcome outcomeOf(const std::function<void()> &operation)
{
    Outcome outcome;
    try {
        operation();
    } catch (const BonusSystemError &e) {
        outcome = {true, int(e.kind()), e.what()};
    } catch (const std::exception &e) {
        outcome = {true, -1, e.what()};
    }
    return outcome;
}
} // namespace

class BonusClientCallsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void balanceAndItsLogLines();
    void paymentThenCommit_data();
    void paymentThenCommit();
    void settingsReachTheWire_data();
    void settingsReachTheWire();
    void refusal_data();
    void refusal();
    void brokenServer_data();
    void brokenServer();
    void nothingListening_data();
    void nothingListening();
    void connectionsPerOperation_data();
    void connectionsPerOperation();
    void keptConnectionLost_data();
    void keptConnectionLost();

private:
    void writeSettings(int port, const QJsonObject &extra = QJsonObject(),
                       const QStringList &removed = QStringList());
    QStringList clientLines(const QString &level = QString()) const;

    LogCapture logs;
    TempTill till;
    // Nobody listens there, nor can anybody start to while the suite runs.
    RefusedPort refused;
};

void BonusClientCallsTest::initTestCase()
{
    Clock::setFixed(QDateTime(QDate(2024, 3, 5), QTime(9, 15, 7, 123)));
}

void BonusClientCallsTest::init()
{
    logs.clear();
}

void BonusClientCallsTest::writeSettings(int port, const QJsonObject &extra,
                                         const QStringList &removed)
{
    QJsonObject settings {{QStringLiteral("terminalId"), terminal},
                          {QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                          {QStringLiteral("port"), port},
                          {QStringLiteral("connectTimeout"), 2000},
                          {QStringLiteral("recvTimeout"), 5000},
                          {QStringLiteral("sendTimeout"), 5000},
                          // keys of the engine, not the client's business
                          {QStringLiteral("widthPrint"), 40},
                          {QStringLiteral("header"), QStringLiteral("Бонтария")}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        settings.insert(it.key(), it.value());
    for (const QString &key : removed)
        settings.remove(key);
    till.writeSettings(settings);
}

QStringList BonusClientCallsTest::clientLines(const QString &level) const
{
    return logs.messages(veltabonus, level);
}

void BonusClientCallsTest::balanceAndItsLogLines()
{
    AccountingTestServer server;
    server.answer("balance", answer(true, "", QStringLiteral("Баланс получен"), 12345, 550));
    writeSettings(server.port());

    VeltaBonusClientThrift client;
    const BalanceResponse response = client.balance(card);

    QCOMPARE(response.balance, 123.45);
    QCOMPARE(response.balanceInactive, 5.5);
    const QList<ReceivedCall> calls = server.calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls[0].method, std::string("balance"));
    QCOMPARE(utf8(calls[0].terminalId), terminal.toUtf8());
    QCOMPARE(utf8(calls[0].cardNumber), card.toUtf8());

    const QStringList expected {
        QStringLiteral("Получение баланса по протоколу thrift"),
        QStringLiteral("Терминал: Касса №1 карта: 7770001"),
        QStringLiteral("Открытие транспорта"),
        QStringLiteral("Выполнение запроса"),
        QStringLiteral("Закрытие транспорта"),
        QStringLiteral("Закрытие транспортаРезультат: [success=true, sessionId=, "
                       "description=Баланс получен, balance=12345"),
        QStringLiteral("Баланс на карте 123.45"),
        QStringLiteral("Неактивный баланс на карте 5.5"),
    };
    QCOMPARE(clientLines(), expected);
    QCOMPARE(clientLines(QStringLiteral("INFO")), expected);
}

void BonusClientCallsTest::paymentThenCommit_data()
{
    QTest::addColumn<bool>("refund");
    QTest::addColumn<double>("amount");
    QTest::addColumn<qint64>("wireAmount");
    QTest::addColumn<QString>("transaction");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("amountLine");

    const QString pay = QStringLiteral("Создание транзакции по оплате по протоколу thrift");
    const QString back = QStringLiteral("Возврат по протоколу thrift");
    QTest::newRow("payment") << false << 12.34 << qint64(1234) << QStringLiteral("0915071231234")
                             << pay << QStringLiteral("Сумма: 12.34");
    QTest::newRow("refund") << true << 12.34 << qint64(1234) << QStringLiteral("0915071231234")
                            << back << QStringLiteral("Сумма: 12.34");
    QTest::newRow("large payment, %g identifier")
        << false << 12345.67 << qint64(1234567) << QStringLiteral("0915071231.23457e+06") << pay
        << QStringLiteral("Сумма: 12345.7");
    QTest::newRow("refund of kopecks")
        << true << 0.29 << qint64(29) << QStringLiteral("09150712329") << back
        << QStringLiteral("Сумма: 0.29");
}

void BonusClientCallsTest::paymentThenCommit()
{
    QFETCH(bool, refund);
    QFETCH(double, amount);
    QFETCH(qint64, wireAmount);
    QFETCH(QString, transaction);
    QFETCH(QString, title);
    QFETCH(QString, amountLine);

    const std::string method = refund ? "makePayBack" : "makePay";
    AccountingTestServer server;
    // The server names its own session; the commit must carry that one.
    server.answer(method, answer(true, "SRV-42", QStringLiteral("Принято"), 98765));
    server.answer("commitTransaction",
                  answer(true, "SRV-42", QStringLiteral("Подтверждено"), 97531));
    writeSettings(server.port());

    VeltaBonusClientThrift client;
    const CardFlow flow(card, amount);
    AdditionalAssetInfo info;
    info.dateFromCash = Clock::currentDateTime();
    const BonusResult paid = refund ? client.makePayBack(flow, info) : client.makePay(flow, info);
    QCOMPARE(paid.balance, 987.65);
    QCOMPARE(paid.description, QStringLiteral("Принято"));
    QCOMPARE(paid.sessionId, QStringLiteral("SRV-42"));

    const BonusResult committed = client.commit(paid.sessionId, flow);
    QCOMPARE(committed.balance, 975.31);
    QCOMPARE(committed.description, QStringLiteral("Подтверждено"));

    const QList<ReceivedCall> calls = server.calls();
    QCOMPARE(calls.size(), 2);
    QCOMPARE(calls[0].method, method);
    QCOMPARE(utf8(calls[0].terminalId), terminal.toUtf8());
    QCOMPARE(utf8(calls[0].sessionId), transaction.toUtf8());
    QCOMPARE(utf8(calls[0].cardNumber), card.toUtf8());
    QCOMPARE(qint64(calls[0].amount), wireAmount);
    // Whole seconds: the milliseconds of the clock do not travel.
    QCOMPARE(qint64(calls[0].dateFromCash),
             Clock::currentDateTime().toSecsSinceEpoch() * Q_INT64_C(1000));
    QCOMPARE(calls[1].method, std::string("commitTransaction"));
    QCOMPARE(utf8(calls[1].terminalId), terminal.toUtf8());
    QCOMPARE(utf8(calls[1].sessionId), QByteArray("SRV-42"));
    QCOMPARE(utf8(calls[1].cardNumber), card.toUtf8());
    QCOMPARE(calls[1].amount, int64_t(0));

    const QStringList lines = clientLines(QStringLiteral("INFO"));
    const QStringList opening = lines.mid(0, 4);
    QCOMPARE(opening,
             QStringList({title, QStringLiteral("Терминал: Касса №1 карта 7770001"),
                          QStringLiteral("ID транзакции: ") + transaction, amountLine}));
    const int commitAt = lines.indexOf(
        QStringLiteral("Закрытие транзакции подтверждением операции по протоколу thrift"));
    QVERIFY(commitAt > 4);
    QCOMPARE(lines.value(commitAt + 1), QStringLiteral("Терминал: Касса №1сессия: SRV-42"));
    QVERIFY(lines.contains(QStringLiteral("Закрытие транспортаРезультат: [success=true, "
                                          "sessionId=SRV-42, description=Принято, balance=98765")));
    QVERIFY(clientLines(QStringLiteral("ERROR")).isEmpty());
}

void BonusClientCallsTest::settingsReachTheWire_data()
{
    // Settings values as the till's JSON may hold them; the terminal
    // identifier the server receives shows how each was read.
    QTest::addColumn<QJsonObject>("extra");
    QTest::addColumn<QStringList>("removed");
    QTest::addColumn<bool>("portAsText");
    QTest::addColumn<QByteArray>("terminalOnWire");

    const QString key = QStringLiteral("terminalId");
    const QStringList none;
    QTest::newRow("only address and port") << QJsonObject()
                                           << QStringList {key,
                                                           QStringLiteral("connectTimeout"),
                                                           QStringLiteral("recvTimeout"),
                                                           QStringLiteral("sendTimeout"),
                                                           QStringLiteral("widthPrint"),
                                                           QStringLiteral("header")}
                                           << false << QByteArray();
    QTest::newRow("number as terminal")
        << QJsonObject {{key, 42}} << none << false << QByteArray("42");
    QTest::newRow("true as terminal")
        << QJsonObject {{key, true}} << none << false << QByteArray("true");
    QTest::newRow("null terminal")
        << QJsonObject {{key, QJsonValue::Null}} << none << false << QByteArray();
    QTest::newRow("array terminal")
        << QJsonObject {{key, QJsonArray {1, 2}}} << none << false << QByteArray();
    QTest::newRow("quote and Cyrillic") << QJsonObject {{key, QStringLiteral("Т\"1")}} << none
                                        << false << QStringLiteral("Т\"1").toUtf8();
    QTest::newRow("port and limits as text")
        << QJsonObject {{QStringLiteral("recvTimeout"), QStringLiteral("3000")}} << none << true
        << terminal.toUtf8();
    QTest::newRow("limits that are no numbers")
        << QJsonObject {{QStringLiteral("connectTimeout"), QStringLiteral("soon")},
                        {QStringLiteral("recvTimeout"), QJsonArray()},
                        {QStringLiteral("sendTimeout"), QJsonObject()}}
        << none << false << terminal.toUtf8();
}

void BonusClientCallsTest::settingsReachTheWire()
{
    QFETCH(QJsonObject, extra);
    QFETCH(QStringList, removed);
    QFETCH(bool, portAsText);
    QFETCH(QByteArray, terminalOnWire);

    AccountingTestServer server;
    server.answer("balance", answer(true, "", QString(), 100));
    if (portAsText)
        extra.insert(QStringLiteral("port"), QString::number(server.port()));
    writeSettings(server.port(), extra, removed);

    VeltaBonusClientThrift client;
    QCOMPARE(client.balance(card).balance, 1.0);
    const QList<ReceivedCall> calls = server.calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(utf8(calls[0].terminalId), terminalOnWire);
}

void BonusClientCallsTest::refusal_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("logPrefix");

    const QString refusal = QStringLiteral("Карта \"Золотая\" заблокирована");
    const QString balancePrefix = QStringLiteral("Ошибка бонусного сервера :");
    const QString otherPrefix = QStringLiteral("Ошибка бонусного сервера");
    const QString info = QStringLiteral("INFO");
    const QString error = QStringLiteral("ERROR");
    for (const QString &description : {refusal, QString()}) {
        const char *kind = description.isEmpty() ? "empty" : "text";
        QTest::addRow("balance, %s", kind)
            << QStringLiteral("balance") << description << info << balancePrefix;
        QTest::addRow("makePay, %s", kind)
            << QStringLiteral("makePay") << description << error << otherPrefix;
        QTest::addRow("makePayBack, %s", kind)
            << QStringLiteral("makePayBack") << description << error << otherPrefix;
        QTest::addRow("commitTransaction, %s", kind)
            << QStringLiteral("commitTransaction") << description << error << otherPrefix;
    }
}

void BonusClientCallsTest::refusal()
{
    QFETCH(QString, operation);
    QFETCH(QString, description);
    QFETCH(QString, level);
    QFETCH(QString, logPrefix);

    AccountingTestServer server;
    server.answer(operation.toStdString(), answer(false, "SRV-1", description, 500));
    writeSettings(server.port());

    VeltaBonusClientThrift client;
    const CardFlow flow(card, 5);
    AdditionalAssetInfo info;
    const Outcome outcome = outcomeOf([&] {
        if (operation == QLatin1String("balance"))
            client.balance(card);
        else if (operation == QLatin1String("makePay"))
            client.makePay(flow, info);
        else if (operation == QLatin1String("makePayBack"))
            client.makePayBack(flow, info);
        else
            client.commit(QStringLiteral("SRV-1"), flow);
    });

    QVERIFY(outcome.thrown);
    QCOMPARE(outcome.kind, int(BonusSystemError::Kind::Refused));
    QCOMPARE(outcome.text, description.toUtf8());
    QVERIFY(clientLines(level).contains(logPrefix + description));
    // A refusal is an answer, not a broken exchange.
    for (const QString &line : clientLines())
        QVERIFY2(!line.startsWith(QStringLiteral("Ошибка thift: ")), qPrintable(line));
}

void BonusClientCallsTest::brokenServer_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("payment");
    QTest::addColumn<int>("recvTimeout");
    QTest::addColumn<QString>("thriftLine");

    const QString any; // only the prefix is known
    QTest::newRow("closes mid-call")
        << int(RawServer::HangUp) << QByteArray() << false << 5000 << any;
    QTest::newRow("never answers")
        << int(RawServer::KeepSilent) << QByteArray() << false << 300 << any;
    QTest::newRow("exception message")
        << int(RawServer::Answer)
        << ThriftMessages::exception("balance", QStringLiteral("Сбой: нет базы").toUtf8(),
                                     TApplicationException::INTERNAL_ERROR)
        << false << 5000 << QStringLiteral("Ошибка thift: Сбой: нет базы");
    QTest::newRow("balance without result")
        << int(RawServer::Answer) << ThriftMessages::replyWithoutResult("balance") << false << 5000
        << QStringLiteral("Ошибка thift: balance failed: unknown result");
    QTest::newRow("payment without result")
        << int(RawServer::Answer) << ThriftMessages::replyWithoutResult("makePay") << true << 5000
        << QStringLiteral("Ошибка thift: makePay failed: unknown result");
}

void BonusClientCallsTest::brokenServer()
{
    QFETCH(int, behaviour);
    QFETCH(QByteArray, reply);
    QFETCH(bool, payment);
    QFETCH(int, recvTimeout);
    QFETCH(QString, thriftLine);

    RawServer server(RawServer::Behaviour(behaviour), reply);
    writeSettings(server.port(), QJsonObject {{QStringLiteral("recvTimeout"), recvTimeout}});

    VeltaBonusClientThrift client;
    const CardFlow flow(card, 1);
    AdditionalAssetInfo info;
    QElapsedTimer timer;
    timer.start();
    const Outcome outcome = outcomeOf([&] {
        if (payment)
            client.makePay(flow, info);
        else
            client.balance(card);
    });
    const qint64 elapsed = timer.elapsed();

    QVERIFY(outcome.thrown);
    // No readable answer: the call may have been carried out.
    QCOMPARE(outcome.kind, int(BonusSystemError::Kind::Unavailable));
    QCOMPARE(QString::fromUtf8(outcome.text), QStringLiteral("Бонусный сервер не доступен"));
    const QStringList errors = clientLines(QStringLiteral("ERROR"));
    QVERIFY2(!errors.isEmpty(), "no error line");
    QVERIFY2(errors.first().startsWith(QStringLiteral("Ошибка thift: ")),
             qPrintable(errors.first()));
    if (!thriftLine.isEmpty())
        QCOMPARE(errors.first(), thriftLine);
    QVERIFY(clientLines().contains(QStringLiteral("Выполнение запроса")));
    QVERIFY(!clientLines().join(QLatin1Char('\n')).contains(QStringLiteral("Результат:")));

    // The request went out as a versioned CALL with sequence id 0.
    QTRY_VERIFY(server.received().startsWith(
        ThriftMessages::header(T_CALL, payment ? "makePay" : "balance")));
    if (behaviour == RawServer::KeepSilent) {
        // The receive limit of the settings file, not the default one.
        QVERIFY2(elapsed >= 250, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < Limits::defaultReceiveMs, qPrintable(QString::number(elapsed)));
    }
}

void BonusClientCallsTest::nothingListening_data()
{
    QTest::addColumn<QByteArray>("settings");

    QTest::newRow("closed port")
        << QStringLiteral("{\"address\": \"127.0.0.1\", \"port\": %1, \"terminalId\": \"T\"}")
               .arg(refused.port())
               .toUtf8();
    QTest::newRow("settings that are an array") << QByteArray("[]");
}

void BonusClientCallsTest::nothingListening()
{
    QFETCH(QByteArray, settings);
    till.writeSettingsRaw(settings);

    VeltaBonusClientThrift client;
    const Outcome outcome = outcomeOf([&] { client.balance(card); });

    QVERIFY(outcome.thrown);
    QVERIFY2(outcome.kind == -1, "the provider's error must pass through as it is");
    QCOMPARE(QString::fromUtf8(outcome.text), QStringLiteral("Нет доступных серверов"));
    for (const QString &line : clientLines())
        QVERIFY2(!line.startsWith(QStringLiteral("Ошибка thift: ")), qPrintable(line));
}

void BonusClientCallsTest::connectionsPerOperation_data()
{
    QTest::addColumn<QJsonValue>("firstKeepAlive"); // undefined: left out
    QTest::addColumn<QJsonValue>("secondKeepAlive");
    QTest::addColumn<int>("connections");
    QTest::addColumn<int>("keptOpen");

    const QJsonValue leftOut(QJsonValue::Undefined);
    QTest::newRow("two sales on one connection") << leftOut << leftOut << 1 << 1;
    QTest::newRow("keepAlive 0: a connection per call") << QJsonValue(0) << QJsonValue(0) << 6 << 0;
    QTest::newRow("keepAlive 0 next: the kept one goes")
        << QJsonValue(5) << QJsonValue(0) << 4 << 0;
}

void BonusClientCallsTest::connectionsPerOperation()
{
    QFETCH(QJsonValue, firstKeepAlive);
    QFETCH(QJsonValue, secondKeepAlive);
    QFETCH(int, connections);
    QFETCH(int, keptOpen);

    AccountingTestServer server;
    for (const char *method : {"balance", "makePay", "commitTransaction"})
        server.answer(method, AccountingTestServer::echo());
    for (const QJsonValue &keepAlive : {firstKeepAlive, secondKeepAlive}) {
        QJsonObject extra;
        if (!keepAlive.isUndefined())
            extra.insert(QStringLiteral("keepAlive"), keepAlive);
        writeSettings(server.port(), extra);
        // One operation: a client of its own, as the engine makes.
        VeltaBonusClientThrift client;
        const CardFlow flow(card, 1);
        AdditionalAssetInfo info;
        client.balance(card);
        client.commit(client.makePay(flow, info).sessionId, flow);
    }

    QCOMPARE(server.calls().size(), 6);
    QCOMPARE(server.connections(), connections);
    QTRY_COMPARE(server.connections() - server.closedConnections(), keptOpen);
}

void BonusClientCallsTest::keptConnectionLost_data()
{
    QTest::addColumn<bool>("whileIdle"); // else as the next request arrives
    QTest::addColumn<bool>("payment");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<int>("connections");
    QTest::addColumn<int>("requests"); // of the second operation's method

    QTest::newRow("closed while idle, balance") << true << false << true << 2 << 1;
    QTest::newRow("closed while idle, payment") << true << true << true << 2 << 1;
    // Nothing moves by a balance: asked again on a fresh connection.
    QTest::newRow("lost under a balance") << false << false << true << 2 << 2;
    // It may have arrived: an unknown outcome, never sent again.
    QTest::newRow("lost under a payment") << false << true << false << 1 << 1;
}

void BonusClientCallsTest::keptConnectionLost()
{
    QFETCH(bool, whileIdle);
    QFETCH(bool, payment);
    QFETCH(bool, answered);
    QFETCH(int, connections);
    QFETCH(int, requests);

    std::atomic<int> sessions {0};
    std::atomic<bool> firstGone {false};
    QByteArrayList methods;
    std::mutex mutex;
    // The first connection answers one call, then hangs up while idle or on
    // the next request; later ones answer every call.
    RawServer server([&](int descriptor) {
        const bool first = sessions++ == 0;
        auto tap = std::make_shared<WireTap>(descriptor);
        try {
            for (int call = 0;; ++call) {
                if (first && call == 1 && whileIdle)
                    break;
                const ThriftMessage request = ThriftMessages::read(tap);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    methods << QByteArray::fromStdString(request.name);
                }
                if (first && call == 1)
                    break;
                LoopbackSocket::writeAll(
                    descriptor,
                    ThriftMessages::reply(QByteArray::fromStdString(request.name),
                                          answer(true, "S-1", QStringLiteral("Принято"), 100)));
            }
        } catch (const apache::thrift::TException &) {
            // The client hung up.
        }
        if (first) {
            ::shutdown(descriptor, SHUT_RDWR);
            firstGone = true;
        }
    });
    writeSettings(server.port());

    {
        VeltaBonusClientThrift client;
        client.balance(card);
    }
    if (whileIdle)
        QTRY_VERIFY(firstGone);
    logs.clear();

    VeltaBonusClientThrift client;
    const CardFlow flow(card, 1);
    AdditionalAssetInfo info;
    const Outcome outcome = outcomeOf([&] {
        if (payment)
            client.makePay(flow, info);
        else
            client.balance(card);
    });

    QCOMPARE(!outcome.thrown, answered);
    if (!answered)
        QCOMPARE(QString::fromUtf8(outcome.text), QStringLiteral("Бонусный сервер не доступен"));
    QCOMPARE(server.accepted(), connections);
    std::lock_guard<std::mutex> lock(mutex);
    QCOMPARE(methods.count(payment ? "makePay" : "balance"), requests + (payment ? 0 : 1));
    QCOMPARE(clientLines().contains(QStringLiteral("Повтор запроса на новом соединении")),
             !whileIdle && !payment);
}

QTEST_GUILESS_MAIN(BonusClientCallsTest)
#include "tst_bonusclientcalls.moc"
