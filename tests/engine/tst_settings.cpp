// The engine's reading of the settings file and of the request: what reaches
// the slip and the status file, with the defaults and conversions of each key.

#include "BonusCredit.h"
#include "LogCapture.h"
#include "TempTill.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void settings_data();
    void settings();
    void filesEmptied_data();
    void filesEmptied();
    void deletedFileKeepsLastPaths();
    void refused_data();
    void refused();
    void params_data();
    void params();

private:
    QString otherStatus() const { return till->root() + QStringLiteral("/other/status.json"); }
    QString otherPrint() const { return till->root() + QStringLiteral("/other/print.txt"); }

    std::unique_ptr<TempTill> till;
    std::unique_ptr<BonusCredit> engine;
    std::unique_ptr<LogCapture> log;
};

void SettingsTest::initTestCase()
{
    till.reset(new TempTill);
    QVERIFY(QDir(till->root()).mkpath(QStringLiteral("other")));
}

// Every case starts from an engine that has read a full settings file once,
// so a value the case leaves out must be cleared, not kept.
void SettingsTest::init()
{
    QFile::remove(till->statusPath());
    QFile::remove(till->printPath());
    engine.reset(new BonusCredit);
    till->writeSettingsRaw(R"({"widthPrint": 55, "header": "Старый", "regexPattern": "a",
                              "regexRule": "b", "printFile": "", "statusFile": ""})");
    QVERIFY(engine->generateSettings());
    log.reset(new LogCapture);
}

void SettingsTest::cleanup()
{
    log.reset();
    engine.reset();
}

void SettingsTest::settings_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("rule");

    const QString bontaria = QStringLiteral("Бонтария");

    QTest::newRow("width missing") << QByteArray("{}") << 30 << bontaria << QString() << QString();
    QTest::newRow("width 0") << QByteArray(R"({"widthPrint": 0})") << 30 << bontaria << QString()
                             << QString();
    QTest::newRow("width null") << QByteArray(R"({"widthPrint": null})") << 30 << bontaria
                                << QString() << QString();
    QTest::newRow("width negative stays")
        << QByteArray(R"({"widthPrint": -5})") << -5 << bontaria << QString() << QString();
    QTest::newRow("width most negative stays")
        << QByteArray(R"({"widthPrint": -2147483648})") << int(0x80000000) << bontaria << QString()
        << QString();
    QTest::newRow("width 1000") << QByteArray(R"({"widthPrint": 1000})") << 1000 << bontaria
                                << QString() << QString();
    QTest::newRow("width 40") << QByteArray(R"({"widthPrint": 40})") << 40 << bontaria << QString()
                              << QString();
    QTest::newRow("width as text")
        << QByteArray(R"({"widthPrint": "40"})") << 40 << bontaria << QString() << QString();
    QTest::newRow("header empty") << QByteArray(R"({"header": ""})") << 30 << bontaria << QString()
                                  << QString();
    QTest::newRow("header one blank stays")
        << QByteArray(R"({"header": " "})") << 30 << QStringLiteral(" ") << QString() << QString();
    QTest::newRow("header null") << QByteArray(R"({"header": null})") << 30 << bontaria << QString()
                                 << QString();
    QTest::newRow("header 4-byte character") << QByteArray(R"({"header": "Бонус 😀"})") << 30
                                             << QStringLiteral("Бонус 😀") << QString() << QString();
    QTest::newRow("top level array")
        << QByteArray("[]") << 30 << bontaria << QString() << QString();
    QTest::newRow("top level array with values")
        << QByteArray(R"([{"widthPrint": 40}])") << 30 << bontaria << QString() << QString();
    QTest::newRow("doubled backslashes")
        << QByteArray(R"({"regexPattern": "^(\\d{4})(\\d+)$", "regexRule": "\\2"})") << 30
        << bontaria << QStringLiteral(R"(^(\d{4})(\d+)$)") << QStringLiteral(R"(\2)");
    QTest::newRow("keys are case-sensitive")
        << QByteArray(R"({"WidthPrint": 40, "Header": "X", "regexpattern": "a", "RegexRule": "b"})")
        << 30 << bontaria << QString() << QString();
    QTest::newRow("other keys ignored")
        << QByteArray(R"({"address": "127.0.0.1", "port": 9090, "widthPrint": 32})") << 32
        << bontaria << QString() << QString();
}

void SettingsTest::settings()
{
    QFETCH(QByteArray, file);
    QFETCH(int, width);
    QFETCH(QString, header);
    QFETCH(QString, pattern);
    QFETCH(QString, rule);

    till->writeSettingsRaw(file);
    QVERIFY(engine->generateSettings());

    QCOMPARE(engine->settings().widthPrint, width);
    QCOMPARE(engine->settings().header, header);
    QCOMPARE(engine->settings().regexPattern, pattern);
    QCOMPARE(engine->settings().regexRule, rule);
    // What the cashier sees of it: the header centred in W columns.
    QCOMPARE(engine->getBalanceSlip().section(QLatin1Char('\n'), 0, 0), centerStr(header, width));
}

void SettingsTest::filesEmptied_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("other");

    QTest::newRow("default paths") << QByteArray("{}") << false;
    QTest::newRow("default paths from []") << QByteArray("[]") << false;
    QTest::newRow("paths from the file")
        << QStringLiteral(R"({"statusFile": "%1", "printFile": "%2"})")
               .arg(otherStatus(), otherPrint())
               .toUtf8()
        << true;
}

void SettingsTest::filesEmptied()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, other);

    const QString status = other ? otherStatus() : till->statusPath();
    const QString print = other ? otherPrint() : till->printPath();
    TempTill::writeFile(status, "old status");
    TempTill::writeFile(print, "old slip");
    QFile::remove(other ? till->statusPath() : otherStatus());
    QFile::remove(other ? till->printPath() : otherPrint());

    till->writeSettingsRaw(file);
    QVERIFY(engine->generateSettings());

    QCOMPARE(readFile(status), QByteArray());
    QCOMPARE(readFile(print), QByteArray());
    QVERIFY(!QFile::exists(other ? till->statusPath() : otherStatus()));
    QVERIFY(!QFile::exists(other ? till->printPath() : otherPrint()));

    // A refusal lands in the same status file.
    QVERIFY(!engine->generateParams(4, 100, QStringLiteral("1")));
    QVERIFY(readFile(status).contains("Недопустимая операция"));
}

void SettingsTest::deletedFileKeepsLastPaths()
{
    till->writeSettingsRaw(QStringLiteral(R"({"statusFile": "%1", "printFile": "%2",
                                               "widthPrint": 40, "header": "Магазин"})")
                               .arg(otherStatus(), otherPrint())
                               .toUtf8());
    QVERIFY(engine->generateSettings());
    till->removeSettings();

    for (int run = 0; run < 2; ++run) {
        TempTill::writeFile(otherStatus(), "old status");
        TempTill::writeFile(otherPrint(), "old slip");
        QFile::remove(till->statusPath());

        QVERIFY(engine->generateSettings());
        QCOMPARE(readFile(otherStatus()), QByteArray());
        QCOMPARE(readFile(otherPrint()), QByteArray());
        QVERIFY(!QFile::exists(till->statusPath()));
        QCOMPARE(engine->settings().widthPrint, 40);
        QCOMPARE(engine->settings().header, QStringLiteral("Магазин"));
    }
}

void SettingsTest::refused_data()
{
    // A value that cannot be used stops the run before anything is sent,
    // instead of turning into 0 or a slip that cannot be laid out. Every
    // problem of a file is reported, in the order of the keys.
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("problems"); // besides the message

    const auto notNumber = [](const char *key, const char *json) {
        return QStringLiteral("Значение \"%1\" должно быть целым числом: {\"%1\":%2}")
            .arg(QLatin1String(key), QLatin1String(json));
    };
    const auto outOfRange = [](const char *key, const char *range, const char *value) {
        return QStringLiteral("Значение \"%1\" вне допустимых пределов (%2): %3")
            .arg(QLatin1String(key), QLatin1String(range), QLatin1String(value));
    };
    // A text key of another type would become a path or a header nobody
    // meant: a file named "0" in the host's working directory, say.
    const auto notText = [](const char *key, const char *json) {
        return QStringLiteral("Значение \"%1\" должно быть строкой: {\"%1\":%2}")
            .arg(QLatin1String(key), QLatin1String(json));
    };
    // A server name no certificate can carry would refuse every server.
    const auto notHost = [](const char *json) {
        return QStringLiteral(R"(Значение "tls.serverName" должно быть именем или адресом )"
                              R"(сервера: {"serverName":%1})")
            .arg(QLatin1String(json));
    };
    const char *const width = "-2147483648..1000";

    QTest::newRow("not JSON") << QByteArray(R"({"widthPrint": 40,)") << QStringList();
    QTest::newRow("values of another type")
        << QByteArray(R"({"widthPrint": "abc", "port": true, "connectTimeout": "soon",)"
                      R"( "statusFile": 0, "printFile": 1.5, "regexPattern": ["^1"],)"
                      R"( "regexRule": false, "header": 5, "terminalId": 7, "address": {},)"
                      R"( "tls": {"caFile": "ca.pem", "certFile": "till.pem", "serverName": 5}})")
        << QStringList {notNumber("widthPrint", R"("abc")"),
                        notNumber("port", "true"),
                        notNumber("connectTimeout", R"("soon")"),
                        notText("statusFile", "0"),
                        notText("printFile", "1.5"),
                        notText("regexPattern", R"(["^1"])"),
                        notText("regexRule", "false"),
                        notText("header", "5"),
                        notText("terminalId", "7"),
                        notText("address", "{}"),
                        notHost("5")};
    QTest::newRow("values of other shapes")
        << QByteArray(R"({"widthPrint": [40], "port": "65536", "header": true, "tls": {"caFile":)"
                      R"( "ca.pem", "certFile": "till.pem", "serverName": "https://accounting"}})")
        << QStringList {notNumber("widthPrint", "[40]"), outOfRange("port", "1..65535", "65536"),
                        notText("header", "true"), notHost(R"("https://accounting")")};
    QTest::newRow("a fraction, an object")
        << QByteArray(R"({"widthPrint": 30.5, "header": {"a": 1}})")
        << QStringList {notNumber("widthPrint", "30.5"), notText("header", R"({"a":1})")};
    QTest::newRow("out of range") << QByteArray(
        R"({"widthPrint": 1001, "port": 0, "recvTimeout": -1,)"
        R"( "reversalWindow": 0, "keepAlive": 3601})")
                                  << QStringList {outOfRange("widthPrint", width, "1001"),
                                                  outOfRange("port", "1..65535", "0"),
                                                  outOfRange("recvTimeout", "0..2147483647", "-1"),
                                                  outOfRange("reversalWindow", "1..2592000", "0"),
                                                  outOfRange("keepAlive", "0..3600", "3601")};
    QTest::newRow("width most positive")
        << QByteArray(R"({"widthPrint": 2147483647})")
        << QStringList {outOfRange("widthPrint", width, "2147483647")};
    QTest::newRow("width beyond 32 bits")
        << QByteArray(R"({"widthPrint": -2147483649})")
        << QStringList {outOfRange("widthPrint", width, "-2147483649")};
    QTest::newRow("width 1e12") << QByteArray(R"({"widthPrint": 1e12})")
                                << QStringList {outOfRange("widthPrint", width, "1000000000000")};
    // Refused unread, however valid it would be: 1 MiB and a byte.
    QByteArray large = R"({"header": ")";
    large += QByteArray(1024 * 1024 + 1 - large.size() - 2, 'x') + "\"}";
    QTest::newRow("over 1 MiB") << large
                                << QStringList {
                                       QStringLiteral("Файл настроек больше 1048576 байт: ")
                                       + till->settingsPath()};
}

void SettingsTest::refused()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, problems);
    TempTill::writeFile(till->printPath(), "old slip");
    till->writeSettingsRaw(file);

    QVERIFY(!engine->generateSettings());

    // The values of the last good read stay; the cashier is told.
    QCOMPARE(engine->settings().widthPrint, 55);
    QCOMPARE(engine->settings().header, QStringLiteral("Старый"));
    QCOMPARE(QString::fromUtf8(till->readStatus()),
             QStringLiteral(R"({ "status" : 255, "description" : "Ошибка в файле настроек", )"
                            R"("cardNumber" : "" })"));
    QCOMPARE(till->readPrint(), QByteArray("old slip"));
    QCOMPARE(log->messages(QStringLiteral("payment"), QStringLiteral("ERROR")),
             problems + QStringList {QStringLiteral("Ошибка в файле настроек")});
}

void SettingsTest::params_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<int>("kopecks");
    QTest::addColumn<QString>("card");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<double>("roubles");
    QTest::addColumn<QString>("keptCard");

    // The earlier request took 500 kopecks for card 777.
    QTest::newRow("sale 250 kopecks") << 1 << 250 << "4242" << QString() << 2.5 << "4242";
    QTest::newRow("refund") << 2 << 100000 << "4242" << QString() << 1000.0 << "4242";
    QTest::newRow("cancel one kopeck") << 3 << 1 << "4242" << QString() << 0.01 << "4242";
    QTest::newRow("balance with 0") << 5 << 0 << "4242" << QString() << 0.0 << "4242";
    QTest::newRow("balance card kept verbatim")
        << 5 << 0 << " 42'\\\"42 " << QString() << 0.0 << " 42'\\\"42 ";
    QTest::newRow("code 4") << 4 << 1000 << "123"
                            << "Недопустимая операция" << 5.0 << "777";
    QTest::newRow("code 0") << 0 << 1000 << "123"
                            << "Недопустимая операция" << 5.0 << "777";
    QTest::newRow("code 6") << 6 << 1000 << "123"
                            << "Недопустимая операция" << 5.0 << "777";
    QTest::newRow("code -1") << -1 << 1000 << "123"
                             << "Недопустимая операция" << 5.0 << "777";
    QTest::newRow("sale of 0") << 1 << 0 << "123"
                               << "Недопустимая сумма" << 5.0 << "777";
    QTest::newRow("refund of -100") << 2 << -100 << "123"
                                    << "Недопустимая сумма" << 5.0 << "777";
    QTest::newRow("cancel of 0") << 3 << 0 << "123"
                                 << "Недопустимая сумма" << 5.0 << "777";
}

void SettingsTest::params()
{
    QFETCH(int, operation);
    QFETCH(int, kopecks);
    QFETCH(QString, card);
    QFETCH(QString, refusal);
    QFETCH(double, roubles);
    QFETCH(QString, keptCard);

    QVERIFY(engine->generateParams(1, 500, QStringLiteral("777")));
    QCOMPARE(till->readStatus(), QByteArray());

    QCOMPARE(engine->generateParams(operation, kopecks, card), refusal.isEmpty());

    QCOMPARE(engine->runState().operation, operation);
    QCOMPARE(engine->runState().amount, roubles);
    QCOMPARE(engine->runState().cardNumber, keptCard);

    if (refusal.isEmpty()) {
        QCOMPARE(till->readStatus(), QByteArray());
        QVERIFY(log->messages(QString(), QStringLiteral("ERROR")).isEmpty());
        return;
    }
    QCOMPARE(QString::fromUtf8(till->readStatus()),
             QStringLiteral(R"({ "status" : 255, "description" : "%1", "cardNumber" : "777" })")
                 .arg(refusal));
    QCOMPARE(log->messages(QStringLiteral("payment"), QStringLiteral("ERROR")),
             QStringList {refusal});
    if (refusal == QStringLiteral("Недопустимая операция")) {
        QVERIFY(log->messages(QStringLiteral("payment"), QStringLiteral("INFO"))
                    .contains(QStringLiteral("Недопустимая операция: Ожидался тип продажа(1), "
                                             "отмена(2 или 3) или запрос баланса(5)  вместо этого "
                                             "пришел тип с кодом %1")
                                  .arg(operation)));
    }
}

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
