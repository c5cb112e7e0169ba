// The whole road of a request, as a till drives it: payment-host loads the
// real plug-in, which reads a private MariaDB and talks to the reference
// accounting server (or a server of the test's own) on 127.0.0.1.

#include "AccountingTestServer.h"
#include "HostProcess.h"
#include "MariaDbSandbox.h"
#include "SimProcess.h"
#include "TempTill.h"
#include "TestCertificates.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

namespace {

const QString card = QStringLiteral("2000123456789");
const QString terminal = QStringLiteral("TILL-7");

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void usageErrors_data();
    void usageErrors();
    void receiptImageWrittenBeforeTheRequest();

    void balance();
    void saleCommitsOnceAndPrintsTwoSlips();
    void refundAndCancelGiveTheMoneyBack();
    void paymentAboveBalanceIsRefusedBeforeMakePay();
    void missingCashierSendsNothing();
    void commandsFromStandardInput();
    void serverTextReachesTheCashierExactly_data();
    void serverTextReachesTheCashierExactly();
    void nothingListening();
    void saleOverMutualTls_data();
    void saleOverMutualTls();
    void cardNumbersMaskedInTheLogOnly();

private:
    HostRun host(const QStringList &arguments, const QByteArray &input = QByteArray());
    void pointSettingsAt(int port, const QString &terminalId = terminal,
                         const QJsonObject &tls = QJsonObject());
    qint64 simBalance();
    QStringList newSimLines(int expected = 0);

    TempTill till;
    MariaDbSandbox database;
    SimProcess sim;
    int seenSimLines = 0;
};

void EndToEndTest::initTestCase()
{
    QVERIFY2(database.start(), qPrintable(database.errorString()));
    QVERIFY2(database.addCardholder(card, QStringLiteral("17")),
             qPrintable(database.errorString()));

    QVERIFY2(sim.start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                        QStringLiteral("--db"), till.root() + QStringLiteral("/ledger.sqlite"),
                        QStringLiteral("--card"), card + QStringLiteral("=100000"),
                        QStringLiteral("--terminal"), terminal}),
             qPrintable(sim.error()));
}

void EndToEndTest::init()
{
    pointSettingsAt(sim.port());
    // Lines of the last test's calls may still be on their way.
    seenSimLines = sim.waitForLines(1 << 20, 200).size();
}

void EndToEndTest::pointSettingsAt(int port, const QString &terminalId, const QJsonObject &tls)
{
    QJsonObject settings;
    settings.insert(QStringLiteral("terminalId"), terminalId);
    settings.insert(QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    settings.insert(QStringLiteral("port"), port);
    settings.insert(QStringLiteral("connectTimeout"), 2000);
    settings.insert(QStringLiteral("recvTimeout"), 5000);
    settings.insert(QStringLiteral("sendTimeout"), 5000);
    if (!tls.isEmpty())
        settings.insert(QStringLiteral("tls"), tls);
    till.writeSettings(settings);
}

HostRun EndToEndTest::host(const QStringList &arguments, const QByteArray &input)
{
    return HostProcess::run(arguments, input);
}

qint64 EndToEndTest::simBalance()
{
    const HostRun run = host({QStringLiteral("--json"), QStringLiteral("balance"), card});
    if (run.exitCode != 0 || run.answers().size() != 1)
        return -1;
    const QString message = run.answers().first().value(QStringLiteral("message")).toString();
    const QString prefix = QStringLiteral("Баланс карты: ");
    if (!message.startsWith(prefix))
        return -1;
    return qRound64(message.mid(prefix.size()).toDouble() * 100);
}

QStringList EndToEndTest::newSimLines(int expected)
{
    // The server logs after it answered: give its lines a moment to arrive,
    // and a short one to show that none do.
    const QStringList all = sim.waitForLines(seenSimLines + expected, expected > 0 ? 5000 : 300);
    const QStringList fresh = all.mid(seenSimLines);
    seenSimLines = all.size();
    return fresh;
}

static QStringList methodsOf(const QStringList &lines)
{
    QStringList methods;
    for (const QString &line : lines)
        methods << line.section(QLatin1Char(' '), 0, 0);
    return methods;
}

void EndToEndTest::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no command") << QStringList();
    QTest::newRow("unknown command") << QStringList {QStringLiteral("refill"), QStringLiteral("1")};
    QTest::newRow("balance without card") << QStringList {QStringLiteral("balance")};
    QTest::newRow("amount not a number")
        << QStringList {QStringLiteral("sale"), QStringLiteral("12.50"), card};
    QTest::newRow("amount zero") << QStringList {QStringLiteral("sale"), QStringLiteral("0"), card};
    QTest::newRow("amount beyond 32 bits")
        << QStringList {QStringLiteral("sale"), QStringLiteral("2147483648"), card};
    QTest::newRow("unknown option") << QStringList {QStringLiteral("sale"), QStringLiteral("100"),
                                                    card, QStringLiteral("--fast")};
    QTest::newRow("option without value") << QStringList {
        QStringLiteral("sale"), QStringLiteral("100"), card, QStringLiteral("--receipt")};
    // Whole card numbers are for recover and check only.
    QTest::newRow("--full on a payment")
        << QStringList {QStringLiteral("balance"), card, QStringLiteral("--full")};
}

void EndToEndTest::usageErrors()
{
    QFETCH(QStringList, arguments);
    const HostRun run = host(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.out.isEmpty());
    QVERIFY(run.err.startsWith("payment-host: "));
    QVERIFY(newSimLines().isEmpty());
}

void EndToEndTest::receiptImageWrittenBeforeTheRequest()
{
    till.removeCheckImage();
    // A card the till does not know stops before the server, after the image
    // was written.
    const QString unknown = QStringLiteral("404");
    host({QStringLiteral("sale"), QStringLiteral("100"), unknown, QStringLiteral("--receipt"),
          QStringLiteral("12"), QStringLiteral("--cash-code"), QStringLiteral("3"),
          QStringLiteral("--cashier-code"), QStringLiteral("К\"9")});
    QFile image(till.checkImagePath());
    QVERIFY(image.open(QIODevice::ReadOnly));
    QCOMPARE(image.readAll(),
             QByteArray("{\"num\":12,\"cashCode\":\"3\",\"cashierCode\":\"К\\\"9\"}"));
    image.close();

    till.removeCheckImage();
    host(
        {QStringLiteral("cancel"), QStringLiteral("100"), unknown, QStringLiteral("--no-receipt")});
    QVERIFY(!QFile::exists(till.checkImagePath()));
    host({QStringLiteral("refund"), QStringLiteral("100"), unknown});
    QVERIFY(image.open(QIODevice::ReadOnly));
    QCOMPARE(image.readAll(), QByteArray("{\"num\":1,\"cashCode\":\"1\",\"cashierCode\":\"1\"}"));
}

void EndToEndTest::balance()
{
    const HostRun run = host({QStringLiteral("--json"), QStringLiteral("balance"), card});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.answers().size(), 1);
    const QJsonObject answer = run.answers().first();
    QCOMPARE(answer.value(QStringLiteral("success")).toBool(), true);
    QCOMPARE(answer.value(QStringLiteral("code")).toInt(), 0);
    QVERIFY(answer.value(QStringLiteral("message"))
                .toString()
                .startsWith(QStringLiteral("Баланс карты: ")));
    QCOMPARE(answer.value(QStringLiteral("cardNumber")).toString(), card);
    const QJsonArray images = answer.value(QStringLiteral("printImages")).toArray();
    QCOMPARE(images.size(), 1);
    const QStringList lines = images.at(0).toString().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 11); // ten entries, each ending with a line feed
    QCOMPARE(lines.at(3), QStringLiteral("                   Тестов Тест"));
    QCOMPARE(lines.at(5), QStringLiteral("                          7001"));
    QVERIFY(lines.at(6).startsWith(QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:")));
    // Balance only: nothing else reaches the server.
    QCOMPARE(methodsOf(newSimLines(1)), QStringList {QStringLiteral("balance")});
}

void EndToEndTest::saleCommitsOnceAndPrintsTwoSlips()
{
    const qint64 before = simBalance();
    QVERIFY(before >= 15000);
    newSimLines(1);

    const HostRun run
        = host({QStringLiteral("--json"), QStringLiteral("sale"), QStringLiteral("15000"), card,
                QStringLiteral("--receipt"), QStringLiteral("42"), QStringLiteral("--cash-code"),
                QStringLiteral("2"), QStringLiteral("--cashier-code"), QStringLiteral("17")});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject answer = run.answers().value(0);
    QCOMPARE(answer.value(QStringLiteral("message")).toString(),
             QStringLiteral("Успешное выполнение операции"));
    const QJsonArray images = answer.value(QStringLiteral("printImages")).toArray();
    QCOMPARE(images.size(), 2);
    QCOMPARE(images.at(0), images.at(1));
    const QStringList lines = images.at(0).toString().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 26); // 24 entries, the cashier's name on two lines
    QCOMPARE(lines.at(2), QStringLiteral("    Касса:                   2"));
    QCOMPARE(lines.at(4), QStringLiteral("                     Кассирова"));
    QCOMPARE(lines.at(5), QStringLiteral("                         Мария"));
    QCOMPARE(lines.at(7), QStringLiteral("          ЧЕК 00042           "));
    QCOMPARE(lines.at(8), QStringLiteral("ОПЛАТА                        "));
    QCOMPARE(lines.at(14), QStringLiteral("СУММА:              150.00 RUR"));
    QCOMPARE(lines.at(16),
             QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:%1 RUR")
                 .arg(QString::number((before - 15000) / 100.0, 'f', 2).rightJustified(10)));

    // balance, makePay, commit, in that order; the commit carries the
    // server's own session id.
    const QStringList calls = newSimLines(3);
    QCOMPARE(methodsOf(calls),
             QStringList({QStringLiteral("balance"), QStringLiteral("makePay"),
                          QStringLiteral("commitTransaction")}));
    const QString session
        = calls.at(1).section(QStringLiteral("session="), 1).section(QLatin1Char(' '), 0, 0);
    QVERIFY(calls.at(2).contains(QStringLiteral("session=") + session + QLatin1Char(' ')));
    QVERIFY(calls.at(1).contains(QStringLiteral("amount=15000 ")));

    QCOMPARE(simBalance(), before - 15000);
}

void EndToEndTest::refundAndCancelGiveTheMoneyBack()
{
    const qint64 before = simBalance();
    newSimLines(1);

    HostRun run = host({QStringLiteral("--json"), QStringLiteral("refund"), QStringLiteral("2550"),
                        card, QStringLiteral("--cashier-code"), QStringLiteral("17")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.answers().value(0).value(QStringLiteral("printImages")).toArray().size(), 2);
    QCOMPARE(methodsOf(newSimLines(3)),
             QStringList({QStringLiteral("balance"), QStringLiteral("makePayBack"),
                          QStringLiteral("commitTransaction")}));
    QCOMPARE(simBalance(), before + 2550);
    newSimLines(1);

    run = host({QStringLiteral("--json"), QStringLiteral("cancel"), QStringLiteral("1"), card,
                QStringLiteral("--cashier-code"), QStringLiteral("17")});
    QCOMPARE(run.exitCode, 0);
    const QJsonArray images = run.answers().value(0).value(QStringLiteral("printImages")).toArray();
    QCOMPARE(images.size(), 1);
    const QString slip = images.at(0).toString();
    QVERIFY(slip.contains(QStringLiteral("\nОТМЕНА ОПЛАТЫ                 \n")));
    QVERIFY(slip.contains(QStringLiteral("СУММА:                0.01 RUR")));
    QVERIFY(slip.contains(
        QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:%1 RUR")
            .arg(QString::number((before + 2551) / 100.0, 'f', 2).rightJustified(10))));
    QCOMPARE(methodsOf(newSimLines(3)),
             QStringList({QStringLiteral("balance"), QStringLiteral("makePayBack"),
                          QStringLiteral("commitTransaction")}));
    QCOMPARE(simBalance(), before + 2551);
}

void EndToEndTest::paymentAboveBalanceIsRefusedBeforeMakePay()
{
    const qint64 before = simBalance();
    newSimLines(1);
    const HostRun run
        = host({QStringLiteral("--json"), QStringLiteral("sale"), QString::number(before + 1), card,
                QStringLiteral("--cashier-code"), QStringLiteral("17")});
    QCOMPARE(run.exitCode, 1);
    const QJsonObject answer = run.answers().value(0);
    QCOMPARE(answer.value(QStringLiteral("code")).toInt(), 255);
    QCOMPARE(answer.value(QStringLiteral("message")).toString(),
             QStringLiteral("Для оплаты доступно %1").arg(QString::number(before / 100.0, 'f', 2)));
    QVERIFY(answer.value(QStringLiteral("printImages")).toArray().isEmpty());
    QCOMPARE(methodsOf(newSimLines(1)), QStringList {QStringLiteral("balance")});
    QCOMPARE(simBalance(), before);
}

void EndToEndTest::missingCashierSendsNothing()
{
    const HostRun run
        = host({QStringLiteral("--json"), QStringLiteral("sale"), QStringLiteral("100"), card,
                QStringLiteral("--cashier-code"), QStringLiteral("404")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.answers().value(0).value(QStringLiteral("message")).toString(),
             QStringLiteral("Кассир не найден!"));
    QVERIFY(newSimLines().isEmpty());
}

void EndToEndTest::commandsFromStandardInput()
{
    const qint64 before = simBalance();
    newSimLines(1);
    const HostRun run = host({QStringLiteral("--json"), QStringLiteral("-")},
                             "balance " + card.toUtf8()
                                 + "\n"
                                   "# a comment, then an empty line\n\n"
                                   "sale 100 "
                                 + card.toUtf8()
                                 + " --cashier-code 17\n"
                                   "balance "
                                 + card.toUtf8());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.answers().size(), 3);
    QCOMPARE(run.answers().at(1).value(QStringLiteral("printImages")).toArray().size(), 2);
    QCOMPARE(
        run.answers().at(2).value(QStringLiteral("message")).toString(),
        QStringLiteral("Баланс карты: %1").arg(QString::number((before - 100) / 100.0, 'f', 2)));

    // The last answer decides the exit code.
    const HostRun failing
        = host({QStringLiteral("-")}, "balance " + card.toUtf8() + "\nbalance 0000\n");
    QCOMPARE(failing.exitCode, 1);
    QVERIFY(failing.out.contains("message: Карта не найдена\n"));
}

void EndToEndTest::serverTextReachesTheCashierExactly_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("operation");
    QTest::newRow("balance refused") << QStringLiteral("balance") << QStringLiteral("balance");
    QTest::newRow("makePay refused") << QStringLiteral("makePay") << QStringLiteral("sale");
    QTest::newRow("commit refused")
        << QStringLiteral("commitTransaction") << QStringLiteral("sale");
}

void EndToEndTest::serverTextReachesTheCashierExactly()
{
    QFETCH(QString, method);
    QFETCH(QString, operation);
    const QString text = QStringLiteral("Отказ: \"кавычки\" \\ обратная\nстрока %3 %2 %1");

    AccountingTestServer server;
    accounting::logic::thriftapi::Result ok;
    ok.success = true;
    ok.balance = 1000000;
    ok.sessionId = "S-1";
    server.answer("balance", ok);
    server.answer("makePay", ok);
    server.answer("commitTransaction", ok);
    accounting::logic::thriftapi::Result refusal;
    refusal.success = false;
    refusal.description = text.toStdString();
    server.answer(method.toStdString(), refusal);
    pointSettingsAt(server.port());

    QStringList arguments {QStringLiteral("--json"), operation};
    if (operation == QLatin1String("sale"))
        arguments << QStringLiteral("100");
    arguments << card << QStringLiteral("--cashier-code") << QStringLiteral("17");
    if (operation == QLatin1String("balance"))
        arguments = QStringList {QStringLiteral("--json"), operation, card};
    const HostRun run = host(arguments);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.answers().value(0).value(QStringLiteral("code")).toInt(), 255);
    QCOMPARE(run.answers().value(0).value(QStringLiteral("message")).toString(), text);
    QCOMPARE(run.answers().value(0).value(QStringLiteral("cardNumber")).toString(), card);
    QVERIFY(run.answers().value(0).value(QStringLiteral("printImages")).toArray().isEmpty());
}

void EndToEndTest::nothingListening()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const int port = probe.serverPort();
    probe.close();
    pointSettingsAt(port);
    const HostRun run = host({QStringLiteral("--json"), QStringLiteral("balance"), card});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.answers().value(0).value(QStringLiteral("message")).toString(),
             QStringLiteral("Нет доступных серверов"));
}

void EndToEndTest::saleOverMutualTls_data()
{
    QTest::addColumn<QString>("terminalId"); // the till's settings
    QTest::addColumn<QString>("serverName"); // the till's settings
    QTest::addColumn<QString>("message");
    QTest::addColumn<qint64>("paid");

    QTest::newRow("the terminal its certificate names, the server its name: the sale commits")
        << terminal << QStringLiteral("localhost") << QStringLiteral("Успешное выполнение операции")
        << qint64(15000);
    QTest::newRow("another terminal with that certificate: refused")
        << QStringLiteral("TILL-8") << QString()
        << QStringLiteral("Терминал не совпадает с сертификатом") << qint64(0);
    QTest::newRow("a server without the name the till expects: nothing sent")
        << terminal << QStringLiteral("accounting.shop.test")
        << QStringLiteral("Бонусный сервер не доступен") << qint64(0);
}

void EndToEndTest::saleOverMutualTls()
{
    QFETCH(QString, terminalId);
    QFETCH(QString, serverName);
    QFETCH(QString, message);
    QFETCH(qint64, paid);

    // The server is named as the till dials it; the till's certificate
    // names its terminal.
    TestCertificates certificates;
    QVERIFY2(certificates.make(QStringLiteral("ca"), QStringLiteral("/CN=Bonus Test CA"))
                 && certificates.make(QStringLiteral("server"), QStringLiteral("/CN=accounting"),
                                      QStringLiteral("ca"),
                                      {QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"),
                                       QStringLiteral("extendedKeyUsage=serverAuth")})
                 && certificates.make(
                     QStringLiteral("till"), QStringLiteral("/CN=till 7"), QStringLiteral("ca"),
                     {QStringLiteral("subjectAltName=URI:urn:terminal:") + terminal,
                      QStringLiteral("extendedKeyUsage=clientAuth")}),
             qPrintable(certificates.error()));
    SimProcess tlsSim;
    QVERIFY2(tlsSim.start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                           QStringLiteral("--db"), certificates.path("ledger.sqlite"),
                           QStringLiteral("--card"), card + QStringLiteral("=100000"),
                           QStringLiteral("--tls-cert"), certificates.path("server.pem"),
                           QStringLiteral("--tls-key"), certificates.path("server.key"),
                           QStringLiteral("--tls-ca"), certificates.path("ca.pem")}),
             qPrintable(tlsSim.error()));
    QJsonObject tls {{QStringLiteral("caFile"), certificates.path("ca.pem")},
                     {QStringLiteral("certFile"), certificates.path("till.pem")},
                     {QStringLiteral("keyFile"), certificates.path("till.key")}};
    if (!serverName.isEmpty())
        tls.insert(QStringLiteral("serverName"), serverName);
    pointSettingsAt(tlsSim.port(), terminalId, tls);

    const HostRun run
        = host({QStringLiteral("--json"), QStringLiteral("sale"), QStringLiteral("15000"), card,
                QStringLiteral("--cashier-code"), QStringLiteral("17")});
    QCOMPARE(run.answers().value(0).value(QStringLiteral("message")).toString(), message);

    if (message == QStringLiteral("Бонусный сервер не доступен")) {
        // Refused after the handshake, before any call; the log says why.
        QFile log(till.root() + QStringLiteral("/cash/log/bonus_credit.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("hostname mismatch"));
        QCOMPARE(tlsSim.stop(SIGTERM), 0);
        QCOMPARE(tlsSim.lines().filter(QRegularExpression(QStringLiteral("^[a-zA-Z]+ terminal="))),
                 QStringList());
        return;
    }

    // Each call came over a connection verified by the till's certificate,
    // and was served as the terminal it names, or refused.
    const QString last = paid ? QStringLiteral("^commitTransaction ") : QStringLiteral("^balance ");
    QVERIFY(!tlsSim.waitForLine(QRegularExpression(last)).isEmpty());
    const QStringList lines = tlsSim.lines();
    QVERIFY2(!lines
                  .filter(QRegularExpression(QStringLiteral(
                      "^tls handshake peer=127\\.0\\.0\\.1 session=\\w+ protocol=TLSv1\\.3"
                      " client=terminal:TILL-7$")))
                  .isEmpty(),
             qPrintable(lines.join(QLatin1Char('\n'))));
    const QStringList calls
        = lines.filter(QRegularExpression(QStringLiteral("^[a-zA-Z]+ terminal=")));
    QCOMPARE(methodsOf(calls),
             paid ? QStringList({QStringLiteral("balance"), QStringLiteral("makePay"),
                                 QStringLiteral("commitTransaction")})
                  : QStringList {QStringLiteral("balance")});
    for (const QString &call : calls)
        QVERIFY2(call.contains(QStringLiteral(" terminal=") + terminalId + QLatin1Char(' '))
                     && call.contains(paid ? QStringLiteral(" outcome=ok ")
                                           : QStringLiteral(" outcome=refused ")),
                 qPrintable(call));

    // The ledger, asked by the till its certificate names.
    pointSettingsAt(tlsSim.port(), terminal, tls);
    QCOMPARE(simBalance(), 100000 - paid);
    QCOMPARE(tlsSim.stop(SIGTERM), 0);
}

// "masked" changes the card numbers inside the log's texts and nothing
// else: not the other texts, not the answer the till reads.
void EndToEndTest::cardNumbersMaskedInTheLogOnly()
{
    const QString logPath = till.root() + QStringLiteral("/cash/log/bonus_credit.log");
    QHash<QString, QStringList> lines;
    for (const QString &mode : {QStringLiteral("full"), QStringLiteral("masked")}) {
        QJsonObject settings = QJsonDocument::fromJson([&] {
                                   QFile file(till.settingsPath());
                                   file.open(QIODevice::ReadOnly);
                                   return file.readAll();
                               }())
                                   .object();
        settings.insert(QStringLiteral("logCardNumbers"), mode);
        till.writeSettings(settings);
        QFile::remove(logPath);
        const HostRun run = host({QStringLiteral("--json"), QStringLiteral("balance"), card});
        QCOMPARE(run.answers().value(0).value(QStringLiteral("cardNumber")).toString(), card);
        QFile log(logPath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        // Without the time stamps, and the slip's time.
        for (const QByteArray &line : log.readAll().split('\n'))
            lines[mode] << QString::fromUtf8(line.mid(24)).replace(
                QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d")),
                QStringLiteral("hh:mm:ss"));
    }
    const QStringList full = lines.value(QStringLiteral("full"));
    QVERIFY(full.filter(card).size() >= 3);
    QVERIFY(lines.value(QStringLiteral("masked")).filter(card).isEmpty());
    QStringList expected = full;
    expected.replaceInStrings(card, QStringLiteral("20*******6789"));
    QCOMPARE(lines.value(QStringLiteral("masked")), expected);
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
