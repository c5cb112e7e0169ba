// accounting-sim's administrative service, against the real process, with
// the interface document's generated client; and `accounting-sim admin`.

#include "SimClient.h"
#include "SimProcess.h"
#include "TestCertificates.h"

#include <thrift/TApplicationException.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace accounting::logic::thriftapi;
using AdminClient = SimClient::AdminClient;

namespace {

const qint64 day = 86400000;

QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

// The reason a call was answered with instead of a result.
QString refusal(const std::function<void()> &call)
{
    try {
        call();
    } catch (const apache::thrift::TApplicationException &e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("answered");
}

} // namespace

class TestAccountingAdmin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void terminals();
    void assetList_data();
    void assetList();
    void groupsAndReasons();
    void balancesSnapshot();
    void internalMethods();
    void refusedRequests_data();
    void refusedRequests();
    void commandLine_data();
    void commandLine();
    void commandLineUsage_data();
    void commandLineUsage();
    void overTls_data();
    void overTls();
    void cleanupTestCase();

private:
    AdminResult result(const std::function<void(AdminClient &, AdminResult &)> &call);
    std::vector<Asset> page(int sort, bool ascending, int number, int size);

    QTemporaryDir m_dir;
    SimProcess m_sim;
    std::unique_ptr<SimClient> m_till;
    std::unique_ptr<SimClient> m_admin;
    // Card A's transactions, by their amount on the card.
    QMap<qint64, std::string> m_sessions;
    qint64 m_start = 0;
    TestCertificates m_certificates;
    std::unique_ptr<SimProcess> m_tlsSim;
};

void TestAccountingAdmin::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(
        m_sim.start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                     QStringLiteral("--db"), m_dir.filePath(QStringLiteral("ledger.db")),
                     QStringLiteral("--card"), QStringLiteral("A=10000"), QStringLiteral("--card"),
                     QStringLiteral("B=700"), QStringLiteral("--terminal"), QStringLiteral("T1"),
                     QStringLiteral("--admin-listen"), QStringLiteral("127.0.0.1:0")}),
        qPrintable(m_sim.error()));
    const quint16 adminPort = m_sim.adminPort();
    QVERIFY(adminPort != 0);
    m_till = std::make_unique<SimClient>(m_sim.port());
    m_admin = std::make_unique<SimClient>(adminPort);

    // Card A: a committed payment, a pending refund, a rolled back payment,
    // an earning in a group, a credit in a group that has not begun.
    m_start = QDateTime::currentMSecsSinceEpoch();
    const auto opened = [](const SimClient::Result &r) {
        return r.success ? r.sessionId : "refused: " + r.description;
    };
    const std::string paid = opened(m_till->makePay("T1", "A", 300, "a1"));
    QVERIFY(m_till->commit("T1", paid, "A").success);
    m_sessions[-300] = paid;
    m_sessions[100] = opened(m_till->makePayBack("T1", "A", 100, "a2"));
    m_sessions[-50] = opened(m_till->makePay("T1", "A", 50, "a3"));
    QVERIFY(m_till->rollback("T1", m_sessions[-50], "A").success);
    AssetGroup spring;
    spring.__set_groupId("spring");
    spring.__set_endDate(m_start + 10 * day);
    m_sessions[500] = opened(m_till->makeEarn("T1", "A", 500, "a4", spring));
    QVERIFY(m_till->commit("T1", m_sessions[500], "A").success);
    AssetGroup summer;
    summer.__set_groupId("summer");
    summer.__set_beginDate(m_start + day);
    summer.__set_endDate(m_start + 20 * day);
    m_sessions[20] = opened(m_till->call([&](SimClient::Client &c, SimClient::Result &r) {
        c.add(r, "T1", "a5", "A", 20, {}, summer);
    }));
    for (const std::string &session : m_sessions)
        QVERIFY2(session.size() == 32, session.c_str());

    // Numbered as two Galera nodes may number it: the rollback of the
    // payment of 50 holds a smaller row id than the line that opened it.
    // Its changes must still come in the order they committed (assetList).
    {
        QSqlDatabase ledger
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("renumber"));
        ledger.setDatabaseName(m_dir.filePath(QStringLiteral("ledger.db")));
        ledger.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        QVERIFY(ledger.open());
        QSqlQuery renumber(ledger);
        QVERIFY(renumber.prepare(
            QStringLiteral("UPDATE history SET id = (SELECT MIN(id) FROM history) - 1"
                           " WHERE session_id = ? AND event = 'payment rolled back'")));
        renumber.addBindValue(text(m_sessions[-50]));
        QVERIFY2(renumber.exec(), qPrintable(renumber.lastError().text()));
        QCOMPARE(renumber.numRowsAffected(), 1);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("renumber"));
}

AdminResult
TestAccountingAdmin::result(const std::function<void(AdminClient &, AdminResult &)> &call)
{
    AdminResult answer;
    m_admin->admin([&](AdminClient &c) { call(c, answer); });
    return answer;
}

void TestAccountingAdmin::terminals()
{
    // What a till sees of its terminal's registration (the answers to each
    // call: commandLine).
    Terminal terminal;
    terminal.__set_id("T-07");
    QVERIFY(result([&](AdminClient &c, AdminResult &r) { c.createTerminal(r, terminal); }).success);
    QVERIFY(m_till->balance("T-07", "B").success);
    QVERIFY(result([](AdminClient &c, AdminResult &r) { c.blockTerminal(r, "T-07"); }).success);
    QCOMPARE(m_till->balance("T-07", "B").description, std::string("Терминал заблокирован"));
    QVERIFY(result([](AdminClient &c, AdminResult &r) { c.activateTerminal(r, "T-07"); }).success);
    QVERIFY(m_till->balance("T-07", "B").success);
    QVERIFY(!m_sim
                 .waitForLine(QRegularExpression(
                     QStringLiteral("^admin blockTerminal by=- terminal=T-07 outcome=ok"
                                    " description=Терминал заблокирован$")))
                 .isEmpty());
}

std::vector<Asset> TestAccountingAdmin::page(int sort, bool ascending, int number, int size)
{
    std::vector<Asset> assets;
    m_admin->admin([&](AdminClient &c) {
        c.getPageableAssetList(assets, "ops", "A", number, size, SortAssetsByField::type(sort),
                               ascending);
    });
    return assets;
}

void TestAccountingAdmin::assetList_data()
{
    QTest::addColumn<int>("sort");
    // Card A's transactions in ascending order, by their amount on the card.
    QTest::addColumn<QList<qint64>>("order");
    const QList<qint64> made {-300, 100, -50, 500, 20};
    QTest::newRow("ID") << int(SortAssetsByField::ID) << made;
    QTest::newRow("AMOUNT") << int(SortAssetsByField::AMOUNT)
                            << QList<qint64> {-300, -50, 20, 100, 500};
    // Pending, committed, rolled back; ties by id.
    QTest::newRow("STATUS") << int(SortAssetsByField::STATUS)
                            << QList<qint64> {100, -300, 500, 20, -50};
    QTest::newRow("TIME") << int(SortAssetsByField::TIME) << made;
}

void TestAccountingAdmin::assetList()
{
    QFETCH(int, sort);
    QFETCH(QList<qint64>, order);
    for (const bool ascending : {true, false}) {
        // Pages of two, and one past the end.
        QList<qint64> got;
        for (int number = 0; number < 4; ++number) {
            const std::vector<Asset> assets = page(sort, ascending, number, 2);
            QCOMPARE(int(assets.size()), number < 2 ? 2 : number == 2 ? 1 : 0);
            for (const Asset &asset : assets)
                got << asset.amount;
        }
        QList<qint64> expected = order;
        if (!ascending)
            std::reverse(expected.begin(), expected.end());
        QCOMPARE(got, expected);
    }

    // Each transaction with its changes: terminal, time, and the event as the reason.
    std::vector<Asset> all;
    m_admin->admin([&](AdminClient &c) { c.getAssetList(all, "ops", "A"); });
    QCOMPARE(int(all.size()), 5);
    const Asset &voided = all.at(2);
    QCOMPARE(voided.id, m_sessions[-50]);
    QCOMPARE(voided.status, 2);
    QCOMPARE(text(voided.terminal.id), QStringLiteral("T1"));
    QVERIFY(voided.time >= m_start && voided.time <= QDateTime::currentMSecsSinceEpoch());
    QCOMPARE(int(voided.transactionStatuses.size()), 2);
    QCOMPARE(voided.transactionStatuses.at(0).status, 0);
    QCOMPARE(text(voided.transactionStatuses.at(0).reason), QStringLiteral("payment pending"));
    QCOMPARE(voided.transactionStatuses.at(1).status, 2);
    QCOMPARE(text(voided.transactionStatuses.at(1).reason), QStringLiteral("payment rolled back"));
    QVERIFY(voided.transactionStatuses.at(1).date >= voided.transactionStatuses.at(0).date);
    QCOMPARE(text(all.at(4).assetGroup.groupId), QStringLiteral("summer"));
    QCOMPARE(all.at(4).assetGroup.beginDate, m_start + day);
}

void TestAccountingAdmin::groupsAndReasons()
{
    const auto groups = [&](qint64 beginsAfter, qint64 endsBefore) {
        std::vector<AssetGroup> found;
        m_admin->admin([&](AdminClient &c) {
            c.getAssetGroups(found, "ops", beginsAfter, endsBefore, 0, 10);
        });
        QStringList ids;
        for (const AssetGroup &group : found)
            ids << text(group.groupId);
        return ids;
    };
    QCOMPARE(groups(0, 0), QStringList({"spring", "summer"}));
    QCOMPARE(groups(m_start, 0), QStringList({"summer"}));
    QCOMPARE(groups(0, m_start + 15 * day), QStringList({"spring"}));
    std::vector<AssetGroup> held;
    m_admin->admin([&](AdminClient &c) { c.getAssetGroupForCard(held, "ops", "A"); });
    QCOMPARE(int(held.size()), 2);
    QCOMPARE(held.at(1).endDate, m_start + 20 * day);
    m_admin->admin([&](AdminClient &c) { c.getAssetGroupForCard(held, "ops", "B"); });
    QVERIFY(held.empty());

    // A reason given to one change of a transaction, shown in its place.
    const std::string paid = m_sessions[-300];
    const auto reason = [&](const std::string &session, int item, const std::string &why) {
        return text(result([&](AdminClient &c, AdminResult &r) {
                        c.setTransactionReason(r, "ops", session, item, why);
                    }).description);
    };
    QCOMPARE(reason(paid, 1, "возврат товара"), QStringLiteral("Причина записана"));
    QCOMPARE(reason(paid, 2, "x"), QStringLiteral("У транзакции нет изменения с номером 2: их 2"));
    QCOMPARE(reason("nosuch", 0, "x"), QStringLiteral("Транзакция не найдена"));
    QCOMPARE(reason(paid, 0, ""), QStringLiteral("Пустой идентификатор: причина"));
    const Asset first = page(SortAssetsByField::ID, true, 0, 1).at(0);
    QCOMPARE(text(first.transactionStatuses.at(0).reason), QStringLiteral("payment pending"));
    QCOMPARE(text(first.transactionStatuses.at(1).reason), QStringLiteral("возврат товара"));
}

void TestAccountingAdmin::balancesSnapshot()
{
    const auto balances = [&] {
        std::vector<BalanceOnDate> rows;
        m_admin->admin([&](AdminClient &c) { c.getActualBonuses(rows, "ops", 0, 100); });
        QMap<QString, QPair<qint64, qint64>> byCard;
        for (const BalanceOnDate &row : rows)
            byCard[text(row.cardNumber)] = qMakePair(row.balance, row.date);
        return byCard;
    };
    const AdminResult made
        = result([](AdminClient &c, AdminResult &r) { c.createActualBonusesTable(r, "ops"); });
    QVERIFY(made.success);
    int32_t cards = 0;
    int64_t rows = 0;
    m_admin->admin([&](AdminClient &c) {
        cards = c.getCardCount("ops");
        rows = c.getActualBonusesTableCount("ops");
    });
    QCOMPARE(rows, int64_t(cards));
    QCOMPARE(text(made.description), QStringLiteral("Снимок остатков: карт %1").arg(cards));
    const auto before = balances();
    QCOMPARE(before.value("A").first, m_till->balance("T1", "A").balance);

    // The snapshot stays as it was while the ledger moves, until brought up to date.
    const SimClient::Result paid = m_till->makePay("T1", "B", 200, "b1");
    QVERIFY(m_till->commit("T1", paid.sessionId, "B").success);
    QCOMPARE(balances(), before);
    const AdminResult updated
        = result([](AdminClient &c, AdminResult &r) { c.updateActualBonusesOnCard(r, "ops"); });
    QCOMPARE(text(updated.description), QStringLiteral("Остатки обновлены: карт 1"));
    const auto after = balances();
    QCOMPARE(after.value("B").first, 500);
    QVERIFY(after.value("B").second > before.value("B").second);
    QCOMPARE(after.value("A"), before.value("A"));
}

void TestAccountingAdmin::internalMethods()
{
    std::vector<InternalMethod> methods;
    m_admin->admin([&](AdminClient &c) { c.getInternalMethods(methods, "ops"); });
    QStringList names;
    for (const InternalMethod &method : methods) {
        names << text(method.name);
        QVERIFY(!method.description.empty());
    }
    QCOMPARE(names, QStringList({"expire", "snapshot", "checkpoint"}));
    for (const QString &name : names) {
        const AdminResult run = result([&](AdminClient &c, AdminResult &r) {
            c.executeInternalMethod(r, "ops", name.toStdString());
        });
        QVERIFY2(run.success, run.description.c_str());
        // Each run is logged.
        QVERIFY(!m_sim
                     .waitForLine(QRegularExpression(
                         QStringLiteral("^admin executeInternalMethod by=ops method=%1"
                                        " outcome=ok description=")
                             .arg(name)))
                     .isEmpty());
    }
}

void TestAccountingAdmin::refusedRequests_data()
{
    QTest::addColumn<int>("pageNumber");
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<QString>("card");
    QTest::addColumn<QString>("expected");
    QTest::newRow("a page before the first") << -1 << 10 << "A"
                                             << "Номер страницы считается от 0, получено -1";
    QTest::newRow("an empty page") << 0 << 0 << "A"
                                   << "Размер страницы от 1 до 1000, получено 0";
    QTest::newRow("a page too large") << 0 << 1001 << "A"
                                      << "Размер страницы от 1 до 1000, получено 1001";
    QTest::newRow("a card not on the ledger") << 0 << 10 << "C404"
                                              << "Карта не найдена";
}

void TestAccountingAdmin::refusedRequests()
{
    QFETCH(int, pageNumber);
    QFETCH(int, pageSize);
    QFETCH(QString, card);
    QFETCH(QString, expected);
    std::vector<Asset> assets;
    QCOMPARE(refusal([&] {
                 m_admin->admin([&](AdminClient &c) {
                     c.getPageableAssetList(assets, "ops", card.toStdString(), pageNumber, pageSize,
                                            SortAssetsByField::ID, true);
                 });
             }),
             expected);
    // The connection is not the worse for it.
    QVERIFY(!page(SortAssetsByField::ID, true, 0, 1).empty());
}

void TestAccountingAdmin::commandLine_data()
{
    // Arguments after "admin --server ... --json" ('' an empty one); the exit
    // status; keys the JSON answer must have, with their values. The rows
    // run in order, on the ledger the earlier tests left.
    QTest::addColumn<QString>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("json");
    const auto row = [](const char *args, int code, const char *json) {
        QTest::newRow(args) << QString::fromUtf8(args) << code << QString::fromUtf8(json);
    };
    row("terminal status T1", 0, R"({"terminal":"T1","status":"ACTIVE"})");
    row("terminal add T-20", 0, R"({"success":true,"description":"Терминал зарегистрирован"})");
    row("terminal add T-20", 1,
        R"({"success":false,"description":"Терминал уже зарегистрирован"})");
    row("terminal add ''", 1,
        R"({"success":false,"description":"Пустой идентификатор: терминал"})");
    row("terminal add T-21 --blocked", 0,
        R"({"success":true,"description":"Терминал зарегистрирован заблокированным"})");
    row("terminal status T-21", 0, R"({"status":"BLOCKED"})");
    row("terminal block T-20", 0, R"({"success":true})");
    row("terminal status T-20", 0, R"({"terminal":"T-20","status":"BLOCKED"})");
    row("terminal activate T-20", 0, R"({"success":true})");
    row("terminal status T-20", 0, R"({"status":"ACTIVE"})");
    row("terminal status T-99", 0, R"({"status":"NOT_FOUND"})");
    row("terminal block T-99", 1, R"({"success":false,"description":"Терминал не найден"})");
    row("card add C2", 0, R"({"success":true,"description":"Карта создана"})");
    row("card add 2000123456789 --status anonymous", 0, R"({"success":true})");
    row("card show 2000123456789", 0, R"({"status":"ANONYMOUS_CARD"})");
    row("card add 2000123456789", 1, R"({"success":false,"description":"Карта уже существует"})");
    row("card block 2000123456789", 0, R"({"success":true})");
    row("card show 2000123456789", 0, R"({"cardNumber":"2000123456789","status":"BLOCKED"})");
    row("card exists 2000123456789", 0, R"({"success":true})");
    row("card exists C404", 1, R"({"success":false,"description":"Карта не найдена"})");
    row("card show C404", 1, R"({"error":"Карта не найдена"})");
    row("card count", 0, R"({"count":4})");
    // By number, a page at a time.
    row("card list --page 1 --size 3", 0,
        R"({"cards":[{"cardNumber":"C2","status":"ACTIVE"}],"page":1,"size":3})");
    row("card credit B 5000 --group G --until 2099-01-01", 0,
        R"({"success":true,"description":"Бонусы начислены","balance":5500})");
    row("card debit B 501", 0, R"({"success":true,"balance":4999})");
    row("card debit B 10000", 1, R"({"success":false})");
    row("card groups B", 0,
        R"({"groups":[{"groupId":"G","beginDate":0,"endDate":4070908800000,"weight":0}]})");
    row("card history A --pending", 0, R"({"card":"A"})");
    row("transaction reason nosuch 0 x", 1, R"({"description":"Транзакция не найдена"})");
    row("balances snapshot", 0, R"({"success":true,"description":"Снимок остатков: карт 4"})");
    row("balances count", 0, R"({"count":4})");
    row("internal run expire", 0, R"({"success":true})");
    row("internal run reboot", 1,
        R"({"success":false,"description":"Нет такого внутреннего метода: reboot"})");
}

void TestAccountingAdmin::commandLine()
{
    QFETCH(QString, args);
    QFETCH(int, code);
    QFETCH(QString, json);
    QProcess admin;
    admin.start(SimProcess::program(),
                QStringList {QStringLiteral("admin"), QStringLiteral("--server"),
                             QStringLiteral("127.0.0.1:%1").arg(m_sim.adminPort()),
                             QStringLiteral("--json")}
                    + args.split(QLatin1Char(' '))
                          .replaceInStrings(QRegularExpression(QStringLiteral("^''$")), QString()));
    QVERIFY(admin.waitForFinished(20000));
    QCOMPARE(admin.exitCode(), code);
    const QByteArray out = admin.readAllStandardOutput();
    QCOMPARE(out.count('\n'), 1);
    const QJsonObject got = QJsonDocument::fromJson(out).object();
    const QJsonObject wanted = QJsonDocument::fromJson(json.toUtf8()).object();
    QVERIFY(!wanted.isEmpty());
    for (auto it = wanted.begin(); it != wanted.end(); ++it)
        QVERIFY2(got.value(it.key()) == it.value(), out.constData());
    // Pending only: card A's one pending refund.
    if (args.contains(QLatin1String("--pending"))) {
        QCOMPARE(got.value(QStringLiteral("assets")).toArray().size(), 1);
        QCOMPARE(got.value(QStringLiteral("assets")).toArray().at(0).toObject().value("amount"),
                 100);
    }
}

void TestAccountingAdmin::commandLineUsage_data()
{
    QTest::addColumn<QString>("args");
    QTest::newRow("no command") << "";
    QTest::newRow("a noun without its verb") << "card";
    QTest::newRow("an unknown command") << "card frobnicate A";
    QTest::newRow("a card to block missing") << "card block";
    QTest::newRow("an amount in roubles") << "card credit A 12.50";
    QTest::newRow("a date that is not one") << "card credit A 5 --group G --until tomorrow";
    QTest::newRow("an end without a group") << "card credit A 5 --until 2099-01-01";
    QTest::newRow("an end before the begin")
        << "card credit A 5 --group G --from 2099-01-02 --until 2099-01-01";
    QTest::newRow("a page before the first") << "card list --page -1";
    QTest::newRow("a sort field unknown") << "card history A --sort name";
    QTest::newRow("an option of another command") << "terminal add T --pending";
    QTest::newRow("a status unknown") << "card add C9 --status lost";
    QTest::newRow("a server without a port") << "--server localhost card count";
    QTest::newRow("TLS without its CA") << "--tls-cert a.pem --tls-key k.pem card count";
    QTest::newRow("a shift without its unit") << "group change G --shift-end 15";
    QTest::newRow("help, on standard output") << "--help";
}

void TestAccountingAdmin::commandLineUsage()
{
    QFETCH(QString, args);
    QProcess admin;
    admin.start(SimProcess::program(),
                QStringList {QStringLiteral("admin")}
                    + args.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    QVERIFY(admin.waitForFinished(10000));
    const QByteArray out = admin.readAllStandardOutput();
    const QByteArray err = admin.readAllStandardError();
    // Help goes to standard output.
    if (args == QLatin1String("--help")) {
        QCOMPARE(admin.exitCode(), 0);
        QVERIFY(out.contains("card credit NUMBER KOPECKS"));
        QCOMPARE(err, QByteArray());
        return;
    }
    QCOMPARE(admin.exitCode(), 2);
    QCOMPARE(out, QByteArray());
    QVERIFY2(err.startsWith("accounting-sim admin: ") && err.count('\n') == 1, err.constData());
}

void TestAccountingAdmin::overTls_data()
{
    // The client's certificate; "cli" rows go through `accounting-sim admin`.
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("cli");
    // "count N", or the reason the call was answered with.
    QTest::addColumn<QString>("expected");
    QTest::newRow("an operator's certificate") << "admin" << false << "count 1";
    QTest::newRow("a till's certificate")
        << "till" << false << "Нужен сертификат администратора (предъявлен T-01)";
    QTest::newRow("an operator's certificate, from the command line")
        << "admin" << true << "count 1";
    QTest::newRow("a till's certificate, from the command line")
        << "till" << true << "Нужен сертификат администратора (предъявлен T-01)";
}

void TestAccountingAdmin::overTls()
{
    QFETCH(QString, certificate);
    QFETCH(bool, cli);
    QFETCH(QString, expected);
    if (!m_tlsSim) {
        const QString client = QStringLiteral("extendedKeyUsage=clientAuth");
        QVERIFY2(
            m_certificates.make(QStringLiteral("ca"), QStringLiteral("/CN=Bonus Test CA"))
                && m_certificates.make(QStringLiteral("server"), QStringLiteral("/CN=accounting"),
                                       QStringLiteral("ca"),
                                       {QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"),
                                        QStringLiteral("extendedKeyUsage=serverAuth")})
                && m_certificates.make(QStringLiteral("admin"), QStringLiteral("/CN=ops"),
                                       QStringLiteral("ca"),
                                       {QStringLiteral("subjectAltName=URI:urn:admin:ops"), client})
                && m_certificates.make(
                    QStringLiteral("till"), QStringLiteral("/CN=till"), QStringLiteral("ca"),
                    {QStringLiteral("subjectAltName=URI:urn:terminal:T-01"), client}),
            qPrintable(m_certificates.error()));
        m_tlsSim = std::make_unique<SimProcess>();
        QVERIFY2(
            m_tlsSim->start(
                {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--db"),
                 m_dir.filePath(QStringLiteral("tls.db")), QStringLiteral("--card"),
                 QStringLiteral("7001=100"), QStringLiteral("--admin-listen"),
                 QStringLiteral("127.0.0.1:0"), QStringLiteral("--tls-cert"),
                 m_certificates.path(QStringLiteral("server.pem")), QStringLiteral("--tls-key"),
                 m_certificates.path(QStringLiteral("server.key")), QStringLiteral("--tls-ca"),
                 m_certificates.path(QStringLiteral("ca.pem"))}),
            qPrintable(m_tlsSim->error()));
    }
    const quint16 port = m_tlsSim->adminPort();
    QVERIFY(port != 0);
    QString got;
    if (cli) {
        QProcess admin;
        admin.start(SimProcess::program(),
                    {QStringLiteral("admin"), QStringLiteral("--server"),
                     QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--tls-cert"),
                     m_certificates.path(certificate + QStringLiteral(".pem")),
                     QStringLiteral("--tls-key"),
                     m_certificates.path(certificate + QStringLiteral(".key")),
                     QStringLiteral("--tls-ca"), m_certificates.path(QStringLiteral("ca.pem")),
                     QStringLiteral("card"), QStringLiteral("count")});
        QVERIFY(admin.waitForFinished(20000));
        got = admin.exitCode() == 0
            ? QStringLiteral("count ") + QString::fromUtf8(admin.readAllStandardOutput()).trimmed()
            : QString::fromUtf8(admin.readAllStandardError())
                  .trimmed()
                  .remove(QStringLiteral("accounting-sim admin: "));
    } else {
        int32_t count = -1;
        got = refusal([&] {
            SimClient(port, m_certificates.clientTls(certificate)).admin([&](AdminClient &c) {
                count = c.getCardCount("ops");
            });
        });
        if (got == QLatin1String("answered"))
            got = QStringLiteral("count %1").arg(count);
    }
    QCOMPARE(got, expected);
}

void TestAccountingAdmin::cleanupTestCase()
{
    QCOMPARE(m_sim.stop(SIGTERM), 0);
    if (m_tlsSim)
        QCOMPARE(m_tlsSim->stop(SIGTERM), 0);
}

QTEST_GUILESS_MAIN(TestAccountingAdmin)
#include "tst_accountingadmin.moc"
