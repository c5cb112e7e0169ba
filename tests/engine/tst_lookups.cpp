// Card, client and cashier lookups in the till's database, against a private
// MariaDB: the engine's steps directly, and whole operations through the
// plug-in as the till loads it.

#include "BonusCredit.h"
#include "LogCapture.h"
#include "MariaDbSandbox.h"
#include "PluginHandle.h"
#include "RawServer.h"
#include "ReceiptImage.h"
#include "TempTill.h"
#include "TillDatabase.h"

#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

namespace {

const QString cardNotFound = QStringLiteral("Карта не найдена");
const QString clientNotFound = QStringLiteral("Клиент не найден");
const QString cashierNotFound = QStringLiteral("Кассир не найден!");

// Renames a table for one test, whatever way the test ends.
class TableAway
{
public:
    TableAway(MariaDbSandbox &db, const QString &table)
        : db(db)
        , table(table)
    {
        ok = db.exec(QStringLiteral("RENAME TABLE %1 TO %1_away").arg(table));
    }
    ~TableAway()
    {
        if (ok)
            db.exec(QStringLiteral("RENAME TABLE %1_away TO %1").arg(table));
    }
    bool ok;

private:
    MariaDbSandbox &db;
    QString table;
};

} // namespace

class LookupsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void findCard_data();
    void findCard();
    void failingStatements_data();
    void failingStatements();
    void checkLimit_data();
    void checkLimit();
    void cashier_data();
    void cashier();

    void cashierBeforeServer_data();
    void cashierBeforeServer();
    void lookupAcrossRuns_data();
    void lookupAcrossRuns();
    void hostDefaultConnectionUntouched();
    void databaseDown();

private:
    // The engine's message for a step that throws, empty when it does not.
    template<typename Step> QString failureOf(Step step);
    // Connections the fake bonus server has seen since the last call.
    int takeConnections();
    void writePluginSettings(const QJsonObject &extra = QJsonObject());
    void openDatabase();

    MariaDbSandbox db;
    std::unique_ptr<TempTill> till;
    std::unique_ptr<PluginHandle> plugin;
    std::unique_ptr<TillDatabase> database;
    std::unique_ptr<LogCapture> log;
    // Listens and never accepts: connections wait in its queue, unanswered.
    std::unique_ptr<RawServer> bonusServer;
};

template<typename Step> QString LookupsTest::failureOf(Step step)
{
    try {
        step();
    } catch (const BonusCreditException &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

void LookupsTest::initTestCase()
{
    // The till tree first: the plug-in's engine takes its paths when made.
    till.reset(new TempTill);
    till->writeSettingsRaw("{}");

    QVERIFY2(db.start(qEnvironmentVariable("BONUS_SOURCE_DIR")
                      + QStringLiteral("/tests/engine/data/dictionaries.sql")),
             qPrintable(db.errorString()));
    const QString insertCard
        = QStringLiteral("INSERT INTO card (number, idclient, idcard) VALUES (?, ?, ?)");
    QVERIFY2(db.exec(insertCard,
                     {QStringLiteral("12'34\\56"), QStringLiteral("20"), QStringLiteral("7006")}),
             qPrintable(db.errorString()));
    QVERIFY2(db.exec(QStringLiteral("INSERT INTO client (idClient, name) VALUES (?, ?)"),
                     {QStringLiteral("20"), QStringLiteral("Д'Артаньян \\ Шарль")}),
             qPrintable(db.errorString()));

    bonusServer.reset(new RawServer);

    plugin.reset(new PluginHandle);
    QVERIFY2(plugin->plugin(), qPrintable(plugin->errorString()));
}

void LookupsTest::cleanupTestCase()
{
    // The plug-in object with its engine and connection: the loader would
    // leave them to the process's end.
    delete plugin->instance();
    plugin.reset();
    db.stop();
}

void LookupsTest::init()
{
    log.reset(new LogCapture);
}

// Only for the tests of single lookups. The plug-in's engine uses the same
// connection name, so the two never hold a connection at the same time:
// removing a connection still held elsewhere leaks its client handle.
void LookupsTest::openDatabase()
{
    database.reset(new TillDatabase);
    QVERIFY2(database->ensureOpen(), qPrintable(database->lastError()));
    log->clear();
}

void LookupsTest::cleanup()
{
    log.reset();
    database.reset();
}

void LookupsTest::findCard_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("searched");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("cardId");
    QTest::addColumn<QString>("clientName");
    QTest::addColumn<QStringList>("errors");

    const QString none;
    const QStringList noErrors;
    QTest::newRow("found with its client") << "1001" << none << none << "1001" << none << "7001"
                                           << "Тестов Тест" << noErrors;
    QTest::newRow("no row") << "5555" << none << none << "5555" << cardNotFound << none << none
                            << noErrors;
    QTest::newRow("idclient NULL")
        << "1002" << none << none << "1002" << clientNotFound << none << none
        << QStringList {QStringLiteral("В карте не указан id клиента")};
    QTest::newRow("idclient empty")
        << "1003" << none << none << "1003" << clientNotFound << none << none
        << QStringList {QStringLiteral("В карте не указан id клиента")};
    // The card is taken before its client is looked for.
    QTest::newRow("client missing")
        << "1004" << none << none << "1004" << clientNotFound << "7005" << none << noErrors;
    QTest::newRow("prefix cut by the rule") << "999912345"
                                            << R"(^(\d{4})(\d+)$)"
                                            << R"(\2)"
                                            << "12345" << none << "7002"
                                            << "Иванова-Петрова Мария Ильинична" << noErrors;
    QTest::newRow("pattern without a rule rewrites nothing")
        << "000123"
        << "^0+" << none << "000123" << none << "7007"
        << "Тестов Тест" << noErrors;
    QTest::newRow("pattern that does not match") << "1001"
                                                 << "^X"
                                                 << "Y"
                                                 << "1001" << none << "7001"
                                                 << "Тестов Тест" << noErrors;
    QTest::newRow("every match replaced") << "1aa1"
                                          << "a"
                                          << "0"
                                          << "1001" << none << "7001"
                                          << "Тестов Тест" << noErrors;
    QTest::newRow("rule with both groups") << "01-10"
                                           << R"(^(\d+)-(\d+)$)"
                                           << R"(\2\1)"
                                           << "1001" << none << "7001"
                                           << "Тестов Тест" << noErrors;
    QTest::newRow("quote and backslash found exactly")
        << "12'34\\56" << none << none << "12'34\\56" << none << "7006"
        << "Д'Артаньян \\ Шарль" << noErrors;
    QTest::newRow("backslash is no escape")
        << "12'3456" << none << none << "12'3456" << cardNotFound << none << none << noErrors;
    QTest::newRow("quote cannot change the statement")
        << "' OR '1'='1" << none << none << "' OR '1'='1" << cardNotFound << none << none
        << noErrors;
    QTest::newRow("no wildcard") << "10_1" << none << none << "10_1" << cardNotFound << none << none
                                 << noErrors;
    QTest::newRow("4-byte character in a name")
        << "1005" << none << none << "1005" << none << "7008"
        << "Смайлов 😀 Эмодзи" << noErrors;
    QTest::newRow("Cyrillic ids") << "1006" << none << none << "1006" << none << "К-7009"
                                  << "Ёлкина Ёлка" << noErrors;
}

void LookupsTest::findCard()
{
    QFETCH(QString, number);
    QFETCH(QString, pattern);
    QFETCH(QString, rule);
    QFETCH(QString, searched);
    QFETCH(QString, failure);
    QFETCH(QString, cardId);
    QFETCH(QString, clientName);
    QFETCH(QStringList, errors);

    openDatabase();
    if (QTest::currentTestFailed())
        return;

    TillDatabase::Card card {number, QStringLiteral("old card"), QStringLiteral("old client")};
    QCOMPARE(failureOf([&] { database->findCard(card, pattern, rule); }), failure);

    // The rewritten number stays: it goes to the server and the status file.
    QCOMPARE(card.number, searched);
    if (failure.isEmpty() || !cardId.isEmpty())
        QCOMPARE(card.id, cardId);
    if (failure.isEmpty())
        QCOMPARE(card.clientName, clientName);
    else
        QCOMPARE(card.clientName, QStringLiteral("old client"));

    const QStringList info = log->messages(QStringLiteral("payment"), QStringLiteral("INFO"));
    QCOMPARE(info.value(0),
             QStringLiteral("Преобразуем номер карты %1: regexPattern=\"%2\", regexRule=\"%3\"")
                 .arg(number, pattern, rule));
    QCOMPARE(info.value(1), QStringLiteral("Поиск карты с номером \"%1\"").arg(searched));
    if (failure.isEmpty()) {
        QVERIFY(info.contains(QStringLiteral("Карта найдена.")));
        QCOMPARE(info.last(), QStringLiteral("Найден клиент %1").arg(clientName));
    }
    QCOMPARE(log->messages(QStringLiteral("payment"), QStringLiteral("ERROR")), errors);
}

void LookupsTest::failingStatements_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("statement");

    QTest::newRow("card") << "card" << cardNotFound
                          << "select idclient, idcard from card where number = '1001'";
    QTest::newRow("client") << "client" << clientNotFound
                            << "select name from client where idClient = '10'";
    QTest::newRow("cashier") << "mol" << cashierNotFound
                             << "select name from mol where code = '17'";
}

void LookupsTest::failingStatements()
{
    QFETCH(QString, table);
    QFETCH(QString, failure);
    QFETCH(QString, statement);

    openDatabase();
    if (QTest::currentTestFailed())
        return;

    TableAway away(db, table);
    QVERIFY2(away.ok, qPrintable(db.errorString()));

    TillDatabase::Card card {QStringLiteral("1001"), QString(), QString()};
    const QString message = table == QStringLiteral("mol")
        ? failureOf([this] { database->findCashier(QStringLiteral("17")); })
        : failureOf([&] { database->findCard(card, QString(), QString()); });
    QCOMPARE(message, failure);

    const QStringList errors = log->messages(QStringLiteral("payment"), QStringLiteral("ERROR"));
    QCOMPARE(errors.size(), 1);
    const QString prefix = QStringLiteral("sql query '%1' error: '").arg(statement);
    QVERIFY2(errors.first().startsWith(prefix), qPrintable(errors.first()));
    // The database's own text names what went wrong.
    QVERIFY2(errors.first().contains(QStringLiteral("dictionaries.%1").arg(table)),
             qPrintable(errors.first()));
}

void LookupsTest::checkLimit_data()
{
    QTest::addColumn<double>("amount");
    QTest::addColumn<double>("balance");
    QTest::addColumn<QString>("failure");

    QTest::newRow("100.00 of 100.00") << 100.0 << 100.0 << QString();
    QTest::newRow("100.00 of 99.99")
        << 100.0 << 99.99 << QStringLiteral("Для оплаты доступно 99.99");
    QTest::newRow("just within the tolerance") << 100.0009 << 100.0 << QString();
    QTest::newRow("just past the tolerance")
        << 100.0015 << 100.0 << QStringLiteral("Для оплаты доступно 100.00");
    QTest::newRow("from kopecks") << 12345 / 100.0 << 123.45 << QString();
    QTest::newRow("nothing on the card")
        << 0.01 << 0.0 << QStringLiteral("Для оплаты доступно 0.00");
    QTest::newRow("card in debt") << 1.0 << -5.5 << QStringLiteral("Для оплаты доступно -5.50");
    QTest::newRow("large balance") << 5000.0 << 1234567.5 << QString();
}

void LookupsTest::checkLimit()
{
    QFETCH(double, amount);
    QFETCH(double, balance);
    QFETCH(QString, failure);

    QCOMPARE(failureOf([&] { BonusCredit::checkLimit(amount, balance); }), failure);
    const QStringList info = log->messages(QStringLiteral("payment"), QStringLiteral("INFO"));
    QCOMPARE(info.contains(QStringLiteral("Проверка лимита прошла успешно")), failure.isEmpty());
}

void LookupsTest::cashier_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("searched");
    QTest::addColumn<QString>("name");

    QTest::newRow("found") << QByteArray(R"({"cashierCode": "17"})") << "17"
                           << "Кассирова Мария";
    QTest::newRow("code as a number") << QByteArray(R"({"cashierCode": 18})") << "18"
                                      << "Петров";
    QTest::newRow("Cyrillic code, 4-byte character")
        << QByteArray(R"({"cashierCode": "Ж-1"})") << "Ж-1"
        << "Жукова 𝄞 Ксения";
    QTest::newRow("missing") << QByteArray(R"({"cashierCode": "404"})") << "404" << QString();
    QTest::newRow("no code searches the empty code") << QByteArray("{}") << "" << QString();
    QTest::newRow("quote in the code")
        << QByteArray(R"({"cashierCode": "17' OR '1'='1"})") << "17' OR '1'='1" << QString();
}

void LookupsTest::cashier()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, searched);
    QFETCH(QString, name);

    openDatabase();
    if (QTest::currentTestFailed())
        return;

    // The code as the receipt image gives it.
    const QString code = ReceiptImage::fromBytes(image).cashierCode();
    QString found;
    const QString failure = failureOf([&] { found = database->findCashier(code); });
    QCOMPARE(failure, name.isEmpty() ? cashierNotFound : QString());
    QCOMPARE(found, name);

    QStringList expected {QStringLiteral("Поиск кассира с кодом %1").arg(searched)};
    if (!name.isEmpty())
        expected << QStringLiteral("Найден кассир: %1").arg(name);
    QCOMPARE(log->messages(QStringLiteral("payment"), QStringLiteral("INFO")), expected);
}

int LookupsTest::takeConnections()
{
    // The run is over: any connection it made is already queued.
    return bonusServer->takeWaiting();
}

void LookupsTest::writePluginSettings(const QJsonObject &extra)
{
    QJsonObject settings {{QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                          {QStringLiteral("port"), bonusServer->port()},
                          {QStringLiteral("terminalId"), QStringLiteral("T-1")},
                          {QStringLiteral("connectTimeout"), 500},
                          {QStringLiteral("recvTimeout"), 300},
                          {QStringLiteral("sendTimeout"), 300}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        settings.insert(it.key(), it.value());
    till->writeSettings(settings);
}

void LookupsTest::cashierBeforeServer_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("cashierCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("serverReached");

    // The fake server never answers: a run that reaches it fails on its
    // receive limit, which shows the counting works.
    const QString unreachable = QStringLiteral("Бонусный сервер не доступен");
    QTest::newRow("sale, cashier found") << "sale"
                                         << "17" << unreachable << true;
    QTest::newRow("sale, cashier missing") << "sale"
                                           << "404" << cashierNotFound << false;
    QTest::newRow("refund, cashier missing") << "refund"
                                             << "404" << cashierNotFound << false;
    QTest::newRow("cancel, cashier missing") << "cancel"
                                             << "404" << cashierNotFound << false;
    QTest::newRow("cancel, no cashier code") << "cancel"
                                             << "" << cashierNotFound << false;
    QTest::newRow("balance needs no cashier") << "balance"
                                              << "404" << unreachable << true;
}

void LookupsTest::cashierBeforeServer()
{
    QFETCH(QString, operation);
    QFETCH(QString, cashierCode);
    QFETCH(QString, message);
    QFETCH(bool, serverReached);

    writePluginSettings({{QStringLiteral("regexPattern"), QStringLiteral(R"(^(\d{4})(\d+)$)")},
                         {QStringLiteral("regexRule"), QStringLiteral(R"(\2)")}});
    QJsonObject image {{QStringLiteral("num"), 42},
                       {QStringLiteral("cashCode"), QStringLiteral("2")}};
    if (!cashierCode.isEmpty())
        image.insert(QStringLiteral("cashierCode"), cashierCode);
    till->writeCheckImage(image);
    takeConnections();

    const QString card = QStringLiteral("999912345");
    PaymentProcessingAnswer answer;
    if (operation == QStringLiteral("sale"))
        answer = plugin->sale(15000, card);
    else if (operation == QStringLiteral("refund"))
        answer = plugin->refund(15000, card);
    else if (operation == QStringLiteral("cancel"))
        answer = plugin->cancel(15000, card);
    else
        answer = plugin->balance(card);

    QVERIFY(!answer.isSuccess());
    QCOMPARE(answer.getCode(), 255);
    QCOMPARE(answer.getMessage(), message);
    // The number after the rewrite, as the status file has it.
    QCOMPARE(answer.getCardNumber(), QStringLiteral("12345"));
    QVERIFY(!till->printExists());
    const int connections = takeConnections();
    if (serverReached)
        QVERIFY2(connections > 0, "the fake bonus server saw no connection");
    else
        QCOMPARE(connections, 0);
}

void LookupsTest::lookupAcrossRuns_data()
{
    // Balances in a row on one plug-in, each "settings|card|message": the
    // settings "rule" rewrite the number as in cashierBeforeServer, "bad" are
    // not JSON. The card's lookup may go out before the run reads its
    // settings: the answer must always be the one for the settings read.
    QTest::addColumn<QStringList>("steps");
    const QString found = QStringLiteral("Бонусный сервер не доступен");
    const QString missing = QStringLiteral("Карта не найдена");
    const QString badSettings = QStringLiteral("Ошибка в файле настроек");
    QTest::newRow("a rule added between runs") << QStringList {
        "plain|12345|" + found, "rule|999912345|" + found, "plain|999912345|" + missing};
    QTest::newRow("a run refused before the lookup")
        << QStringList {"plain|1001|" + found, "bad|1001|" + badSettings, "plain|12345|" + found};
    QTest::newRow("unknown card, then known ones")
        << QStringList {"plain|404404|" + missing, "plain|1001|" + found, "plain|12345|" + found};
}

void LookupsTest::lookupAcrossRuns()
{
    QFETCH(QStringList, steps);
    for (const QString &step : steps) {
        const QStringList parts = step.split(QLatin1Char('|'));
        if (parts.at(0) == QLatin1String("bad"))
            till->writeSettingsRaw("{not json");
        else if (parts.at(0) == QLatin1String("rule"))
            writePluginSettings(
                {{QStringLiteral("regexPattern"), QStringLiteral(R"(^(\d{4})(\d+)$)")},
                 {QStringLiteral("regexRule"), QStringLiteral(R"(\2)")}});
        else
            writePluginSettings();
        const PaymentProcessingAnswer answer = plugin->balance(parts.at(1));
        QVERIFY(!answer.isSuccess());
        QCOMPARE(answer.getMessage(), parts.at(2));
    }
}

void LookupsTest::hostDefaultConnectionUntouched()
{
    {
        // The till's own connection, on another database of the same server.
        QSqlDatabase host = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"));
        host.setDatabaseName(QStringLiteral("mysql"));
        host.setUserName(QStringLiteral("root"));
        QVERIFY2(host.open(), qPrintable(host.lastError().text()));
        QSqlQuery marker(host);
        QVERIFY(marker.exec(QStringLiteral("SET @till_session = 42")));
    }

    writePluginSettings();
    till->writeCheckImage(
        {{QStringLiteral("num"), 1}, {QStringLiteral("cashierCode"), QStringLiteral("404")}});
    // Twice: the second run replaces the plug-in's connection of the first.
    for (int run = 0; run < 2; ++run) {
        const PaymentProcessingAnswer answer = plugin->sale(100, QStringLiteral("1001"));
        QCOMPARE(answer.getMessage(), cashierNotFound);
    }
    const PaymentProcessingAnswer answer = plugin->sale(100, QStringLiteral("5555"));
    QCOMPARE(answer.getMessage(), cardNotFound);

    QVERIFY(
        QSqlDatabase::connectionNames().contains(QLatin1String(QSqlDatabase::defaultConnection)));
    {
        QSqlDatabase host
            = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
        QVERIFY(host.isValid());
        QVERIFY(host.isOpen());
        QCOMPARE(host.databaseName(), QStringLiteral("mysql"));
        QSqlQuery query(host);
        // The same session, not one opened anew.
        QVERIFY2(query.exec(QStringLiteral("SELECT DATABASE(), @till_session")),
                 qPrintable(query.lastError().text()));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), QStringLiteral("mysql"));
        QCOMPARE(query.value(1).toInt(), 42);
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

void LookupsTest::databaseDown()
{
    writePluginSettings();
    till->writeCheckImage(
        {{QStringLiteral("num"), 1}, {QStringLiteral("cashierCode"), QStringLiteral("17")}});
    db.stop();
    takeConnections();

    for (int operation = 0; operation < 2; ++operation) {
        const PaymentProcessingAnswer answer = operation == 0
            ? plugin->sale(100, QStringLiteral("1001"))
            : plugin->balance(QStringLiteral("1001"));
        QVERIFY(!answer.isSuccess());
        QCOMPARE(answer.getCode(), 255);
        QCOMPARE(answer.getMessage(), QStringLiteral("Не удалось подключиться к БД"));
        QVERIFY(till->printExists());
        QCOMPARE(till->readPrint(), QByteArray());
    }
    QCOMPARE(takeConnections(), 0);

    // Back up: the next operation reaches the database again.
    QVERIFY2(db.start(), qPrintable(db.errorString()));
    const PaymentProcessingAnswer answer = plugin->sale(100, QStringLiteral("5555"));
    QCOMPARE(answer.getMessage(), cardNotFound);
}

QTEST_GUILESS_MAIN(LookupsTest)
#include "tst_lookups.moc"
