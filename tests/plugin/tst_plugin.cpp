// The plug-in as the till sees it: loading and casting, the answers of the
// base class, the pacing wait, and the answer read back from the engine's
// files for the outcomes that need neither the database nor the server.

#include "BasicPaymentProcessing.h"
#include "LogCapture.h"
#include "PluginHandle.h"
#include "TempTill.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QPointer>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

class PluginTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void loadsAndCastsByInterfaceId();
    void instanceIsSingleAndRemadeAfterDelete();
    void capabilities();
    void unavailableOperations();
    void options();
    void defaultAnswer();

    void waitReturnsAtOnce_data();
    void waitReturnsAtOnce();
    void waitBlocksForTheSpacing();
    void waitBeyond2147Seconds_data();
    void waitBeyond2147Seconds();

    void paymentOfAnotherTypeDoesNotRun();
    void failureReachesTheCashier_data();
    void failureReachesTheCashier();
    void lockUnavailable();
    void statusWrittenElsewhere();
    void emptyStatusFile();
    void runLeavesNoFileOpen_data();
    void runLeavesNoFileOpen();
    void cardNumberRoundTripsThroughStatusFile_data();
    void cardNumberRoundTripsThroughStatusFile();

private:
    // Declared first: the plug-in's engine must see the temporary tree.
    TempTill till;
    LogCapture log;
    PluginHandle handle;
    AbstractPaymentProcessing *plugin = nullptr;
};

void PluginTest::initTestCase()
{
    // Nothing listens here: the engine's database connection fails fast.
    qputenv("MYSQL_UNIX_PORT", QFile::encodeName(till.root() + QStringLiteral("/no-mysqld.sock")));
    plugin = handle.plugin();
    QVERIFY2(plugin, qPrintable(handle.errorString()));
}

void PluginTest::init()
{
    log.clear();
    QJsonObject settings;
    settings.insert(QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    settings.insert(QStringLiteral("port"), 1);
    till.writeSettings(settings);
}

void PluginTest::loadsAndCastsByInterfaceId()
{
    QPluginLoader loader(PluginHandle::libraryPath());
    QCOMPARE(QFileInfo(loader.fileName()).fileName(),
             QStringLiteral("libProcessingBonusCredit.so"));
    QCOMPARE(loader.metaData().value(QStringLiteral("IID")).toString(),
             QStringLiteral("VeltaPaymentProcessing/1.0"));

    QObject *object = loader.instance();
    QVERIFY(object);
    QCOMPARE(object->metaObject()->className(), "BonusCreditProcessing");
    void *basic = object->qt_metacast("BasicPaymentProcessing");
    QVERIFY(basic);
    QCOMPARE(object->qt_metacast("VeltaPaymentProcessing/1.0"), basic);
    QCOMPARE(static_cast<void *>(qobject_cast<AbstractPaymentProcessing *>(object)), basic);
    QVERIFY(object->qt_metacast("BonusCreditProcessing"));
    QVERIFY(!object->qt_metacast("SomethingElse"));
}

void PluginTest::instanceIsSingleAndRemadeAfterDelete()
{
    QPluginLoader loader(PluginHandle::libraryPath());
    QObject *first = loader.instance();
    QVERIFY(first);
    QCOMPARE(loader.instance(), first);
    QCOMPARE(handle.instance(), first);

    // A till may delete the object; the next request makes a new one.
    QPointer<QObject> guard(first);
    delete first;
    QVERIFY(guard.isNull());
    QObject *second = loader.instance();
    QVERIFY(second);
    QVERIFY(qobject_cast<AbstractPaymentProcessing *>(second));
    plugin = qobject_cast<AbstractPaymentProcessing *>(handle.instance());
    QCOMPARE(static_cast<void *>(plugin), second->qt_metacast("BasicPaymentProcessing"));
}

void PluginTest::capabilities()
{
    using namespace EPaymentProcessingRequest;
    QVERIFY(plugin->isPaymentEnable(Sale));
    QVERIFY(plugin->isPaymentEnable(Refund));
    QVERIFY(!plugin->isPaymentEnable(Undefined));
    QVERIFY(!plugin->isPaymentEnable(Type(3)));
    QVERIFY(plugin->isCancelEnable(Sale));
    QVERIFY(!plugin->isCancelEnable(Refund));
    QVERIFY(!plugin->isCheckTotalsEnable());
    QVERIFY(!plugin->isUsePaymentAsDiscount());
}

void PluginTest::unavailableOperations()
{
    // What the plug-in does not offer answers as the base class does: a
    // failure with code 0, its message and no slip, without the engine.
    PaymentProcessingRequest request;
    request.type = EPaymentProcessingRequest::Sale;
    request.amount = 100;
    const QList<QPair<const char *, std::function<PaymentProcessingAnswer()>>> calls {
        {"Операция сдачи недоступна!", [&] { return plugin->change(request); }},
        {"Операция печати короткого отчета недоступна!", [&] { return plugin->checkTotals(1); }},
        {"Операция сверки итогов для юр. лица недоступна!",
         [&] { return plugin->checkTotalsByMerchantId(QStringLiteral("m")); }},
        {"Операция печати копии недоступна!", [&] { return plugin->printCopy(1); }},
        {"Операция печати полного отчета недоступна!", [&] { return plugin->printReport(); }},
        {"Операция печати полного отчета для юр. лица недоступна!",
         [&] { return plugin->printReportByMerchantId(QStringLiteral("m")); }},
        {"Операция печати короткого отчета недоступна!",
         [&] { return plugin->printShortReport(); }},
        {"Операция получения скидочной карты недоступна!", [&] { return plugin->discountCard(); }},
    };
    for (const auto &call : calls) {
        const PaymentProcessingAnswer answer = call.second();
        QVERIFY(!answer.isSuccess());
        QCOMPARE(answer.getCode(), 0);
        QCOMPARE(answer.getMessage(), QString::fromUtf8(call.first));
        QVERIFY(answer.getPrintImages().isEmpty());
    }
    QVERIFY(!log.contains(QStringLiteral("Запуск процессинга")));
}

void PluginTest::options()
{
    using namespace EPaymentProcessingOption;
    // The plug-in switches option 1 on when it is made.
    QVERIFY(plugin->checkOption(Enabled));
    QVERIFY(!plugin->checkOption(NoOption));

    BasicPaymentProcessing basic;
    QVERIFY(basic.checkOption(NoOption));
    basic.setOption(Enabled, false);
    QVERIFY(!basic.checkOption(Enabled));
    QVERIFY(basic.checkOption(NoOption));
    basic.setOption(Enabled, true);
    basic.setOption(Enabled, true);
    QVERIFY(basic.checkOption(Enabled));
    QVERIFY(basic.checkOption(Enabled));
    basic.setOption(Enabled, false);
    QVERIFY(!basic.checkOption(Enabled));
    QCOMPARE(basic.balance(QStringLiteral("1")).getMessage(),
             QStringLiteral("Операция запроса баланса недоступна!"));
    QCOMPARE(basic.payment(PaymentProcessingRequest()).getMessage(),
             QStringLiteral("Операция оплаты недоступна!"));
    QCOMPARE(basic.cancel(PaymentProcessingRequest()).getMessage(),
             QStringLiteral("Операция отмены недоступна!"));
}

void PluginTest::defaultAnswer()
{
    PaymentProcessingAnswer answer;
    QVERIFY(!answer.isSuccess());
    QCOMPARE(answer.getCode(), 0);
    QVERIFY(answer.getMessage().isEmpty());
    QVERIFY(answer.getPrintImages().isEmpty());
    answer.setSuccess(true);
    QVERIFY(answer.isSuccess());
    answer.setSuccess(false);
    QVERIFY(!answer.isSuccess());
}

void PluginTest::waitReturnsAtOnce_data()
{
    QTest::addColumn<bool>("recorded");
    QTest::addColumn<int>("seconds");
    QTest::newRow("never recorded") << false << 5;
    QTest::newRow("zero seconds") << true << 0;
    QTest::newRow("negative seconds") << true << -3;
}

void PluginTest::waitReturnsAtOnce()
{
    QFETCH(bool, recorded);
    QFETCH(int, seconds);
    BasicPaymentProcessing basic;
    if (recorded)
        basic.setLastOperationTime();
    QElapsedTimer timer;
    timer.start();
    basic.waitBeforeNextOperation(seconds);
    // Far below any spacing: only a wait would take this long.
    QVERIFY2(timer.elapsed() < 900, qPrintable(QString::number(timer.elapsed())));
}

void PluginTest::waitBlocksForTheSpacing()
{
    BasicPaymentProcessing basic;
    basic.setLastOperationTime();
    QElapsedTimer timer;
    timer.start();
    basic.waitBeforeNextOperation(1);
    QVERIFY2(timer.elapsed() >= 950, qPrintable(QString::number(timer.elapsed())));

    // The spacing has passed now: no further wait.
    timer.restart();
    basic.waitBeforeNextOperation(1);
    QVERIFY2(timer.elapsed() < 900, qPrintable(QString::number(timer.elapsed())));
}

void PluginTest::waitBeyond2147Seconds_data()
{
    QTest::addColumn<int>("seconds");
    QTest::newRow("2148 s") << 2148;
    QTest::newRow("4295 s") << 4295;
    QTest::newRow("1 day") << 86400;
}

void PluginTest::waitBeyond2147Seconds()
{
    // Such a wait must block, not wrap round to nothing: run it in a child
    // and see that the child is still waiting.
    QFETCH(int, seconds);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        BasicPaymentProcessing basic;
        basic.setLastOperationTime();
        basic.waitBeforeNextOperation(seconds);
        _exit(0);
    }
    QTest::qWait(300);
    int status = 0;
    const pid_t done = waitpid(child, &status, WNOHANG);
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    QCOMPARE(done, pid_t(0));
}

void PluginTest::paymentOfAnotherTypeDoesNotRun()
{
    TempTill::writeFile(till.statusPath(), "left from before");
    PaymentProcessingRequest request;
    request.type = EPaymentProcessingRequest::Type(3);
    request.amount = 100;
    request.cardNumber = QStringLiteral("123");
    const PaymentProcessingAnswer answer = plugin->payment(request);
    QVERIFY(!answer.isSuccess());
    QCOMPARE(answer.getCode(), 0);
    QVERIFY(answer.getMessage().isEmpty());
    QCOMPARE(till.readStatus(), QByteArray("left from before"));
    QVERIFY(!log.contains(QStringLiteral("Запуск процессинга")));
}

void PluginTest::failureReachesTheCashier_data()
{
    // Each kind of failure a run meets before the server, as the cashier
    // and the log see it: the status code and message, the card number the
    // status file gives back, and the emptied slip such a failure leaves
    // (a payment's answer holds it twice).
    QTest::addColumn<QByteArray>("settings"); // empty: the test's own
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("amount");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("cardBack");
    QTest::addColumn<int>("images");

    const QByteArray own;
    const QString amount = QStringLiteral("Недопустимая сумма");
    const QString database = QStringLiteral("Не удалось подключиться к БД");
    QTest::newRow("settings not JSON") << QByteArray("{ \"address\": ") << "balance" << 0
                                       << QStringLiteral("Ошибка в файле настроек") << false << 0;
    QTest::newRow("status file unwritable")
        << QByteArray(R"({"statusFile": "/proc/no/status.txt"})") << "balance" << 0
        << QStringLiteral("Не удалось записать файл статуса операции") << false << 0;
    QTest::newRow("print file unwritable")
        << QByteArray(R"({"printFile": "/proc/no/print"})") << "balance" << 0
        << QStringLiteral("Не удалось записать файл слипа") << false << 0;
    QTest::newRow("sale of 0") << own << "sale" << 0 << amount << false << 2;
    QTest::newRow("negative sale") << own << "sale" << -15000 << amount << false << 2;
    QTest::newRow("negative refund") << own << "refund" << -1 << amount << false << 2;
    QTest::newRow("cancel of 0") << own << "cancel" << 0 << amount << false << 1;
    QTest::newRow("most negative") << own << "sale" << int(0x80000000) << amount << false << 2;
    QTest::newRow("database down: balance") << own << "balance" << 0 << database << true << 1;
    QTest::newRow("database down: sale") << own << "sale" << 500 << database << true << 2;
    QTest::newRow("database down: cancel") << own << "cancel" << 500 << database << true << 1;
}

void PluginTest::failureReachesTheCashier()
{
    QFETCH(QByteArray, settings);
    QFETCH(QString, operation);
    QFETCH(int, amount);
    QFETCH(QString, message);
    QFETCH(bool, cardBack);
    QFETCH(int, images);
    if (!settings.isEmpty())
        till.writeSettingsRaw(settings);
    const QString database = QStringLiteral("Не удалось подключиться к БД");
    const QString card = QStringLiteral("777");
    const PaymentProcessingAnswer answer = operation == QLatin1String("balance")
        ? handle.balance(card)
        : operation == QLatin1String("sale")   ? handle.sale(amount, card)
        : operation == QLatin1String("refund") ? handle.refund(amount, card)
                                               : handle.cancel(amount, card);
    QVERIFY(!answer.isSuccess());
    QCOMPARE(answer.getCode(), 255);
    QCOMPARE(answer.getMessage(), message);
    QCOMPARE(answer.getCardNumber(), cardBack ? card : QString());
    QCOMPARE(answer.getPrintImages(), QStringList(QVector<QString>(images).toList()));

    const QStringList messages = log.messages(QStringLiteral("payment"));
    QVERIFY(std::any_of(messages.cbegin(), messages.cend(),
                        [&](const QString &line) { return line.startsWith(message); }));
    QVERIFY(messages.contains(QStringLiteral("Код статуса: 255; Описание: %1; Номер карты: %2; "
                                             "Выполнено с ошибкой")
                                  .arg(message, answer.getCardNumber())));
    QVERIFY(messages.contains(QStringLiteral("Завершение операции")));
    // The request is logged once it is known good; a refused one never
    // opens the database.
    const int start = messages.indexOf(QStringLiteral("Начало операции"));
    QVERIFY(start >= 0);
    if (message == database) {
        const int code = operation == QLatin1String("balance") ? 5
            : operation == QLatin1String("sale")               ? 1
                                                               : 3;
        QCOMPARE(messages.mid(start + 1, 3),
                 QStringList({QStringLiteral("Тип операции: %1").arg(code),
                              QStringLiteral("Сумма: %1").arg(amount / 100.0),
                              QStringLiteral("Номер карты: 777")}));
    } else {
        QVERIFY(!messages.contains(database));
    }
}

void PluginTest::lockUnavailable()
{
    // The till's lock cannot be taken (here its file is a directory): the
    // answer is a failure by its code too, never the 0 of a payment.
    const QString lockFile
        = till.root() + QStringLiteral("/cash/paysystems/bonuscredit/bonus_credit.lock");
    // A new plug-in object: the one before keeps its lock file open.
    delete handle.instance();
    QFile::remove(lockFile);
    QVERIFY(QDir().mkpath(lockFile));
    const PaymentProcessingAnswer answer = handle.sale(100, QStringLiteral("123"));
    QVERIFY(QDir(lockFile).removeRecursively());
    plugin = handle.plugin();
    QVERIFY(!answer.isSuccess());
    QCOMPARE(answer.getCode(), 255);
    QCOMPARE(answer.getMessage(), QStringLiteral("Рабочий каталог занят или недоступен"));
}

void PluginTest::statusWrittenElsewhere()
{
    QJsonObject settings;
    settings.insert(QStringLiteral("statusFile"), till.root() + QStringLiteral("/elsewhere.txt"));
    till.writeSettings(settings);
    const PaymentProcessingAnswer answer = handle.sale(100, QStringLiteral("123"));
    // The answer is read from where this run wrote it, not from the default path.
    QVERIFY(!answer.isSuccess());
    QCOMPARE(answer.getCode(), 255);
    QCOMPARE(answer.getMessage(), QStringLiteral("Не удалось подключиться к БД"));
    QCOMPARE(answer.getPrintImages(), QStringList({QString(), QString()}));
    QFile elsewhere(till.root() + QStringLiteral("/elsewhere.txt"));
    QVERIFY(elsewhere.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(elsewhere.readAll())
                .contains(QStringLiteral("Не удалось подключиться к БД")));
    QVERIFY(!QFile::exists(till.statusPath()));

    // The path read from the settings stays when the file goes away.
    till.removeSettings();
    handle.balance(QStringLiteral("123"));
    QVERIFY(QFile::exists(till.root() + QStringLiteral("/elsewhere.txt")));
    QVERIFY(!QFile::exists(till.statusPath()));

    // Settings that move the file: the last run's answer goes before the
    // next run, and is not left where the till answered last.
    settings.insert(QStringLiteral("statusFile"), till.root() + QStringLiteral("/moved.txt"));
    till.writeSettings(settings);
    QCOMPARE(handle.balance(QStringLiteral("123")).getMessage(),
             QStringLiteral("Не удалось подключиться к БД"));
    QVERIFY(QFile::exists(till.root() + QStringLiteral("/moved.txt")));
    QVERIFY(!QFile::exists(till.root() + QStringLiteral("/elsewhere.txt")));
    // Back to the default path for the tests that follow.
    settings = QJsonObject();
    settings.insert(QStringLiteral("statusFile"), till.statusPath());
    till.writeSettings(settings);
}

void PluginTest::emptyStatusFile()
{
    // The print file configured onto the default status path: the empty file
    // the engine leaves there is never taken for this run's status.
    QJsonObject settings;
    settings.insert(QStringLiteral("statusFile"), till.root() + QStringLiteral("/status2.txt"));
    settings.insert(QStringLiteral("printFile"), till.statusPath());
    till.writeSettings(settings);
    const PaymentProcessingAnswer answer = handle.sale(0, QStringLiteral("123"));
    QVERIFY(!answer.isSuccess());
    QCOMPARE(answer.getCode(), 255);
    QCOMPARE(answer.getMessage(), QStringLiteral("Недопустимая сумма"));
    QCOMPARE(till.readStatus(), QByteArray());
}

void PluginTest::runLeavesNoFileOpen_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::newRow("default paths") << QByteArray("{}");
    QTest::newRow("status elsewhere") << QByteArray(R"({"statusFile": "%1/elsewhere.txt"})");
    QTest::newRow("status and print on one path")
        << QByteArray(R"({"statusFile": "%1/both.txt", "printFile": "%1/both.txt"})");
    QTest::newRow("settings not JSON") << QByteArray("{ \"address\": ");
}

void PluginTest::runLeavesNoFileOpen()
{
    // The status and print files are held open while a run writes them; a
    // till that runs for weeks must get every descriptor back.
    QFETCH(QByteArray, settings);
    till.writeSettingsRaw(QString::fromUtf8(settings).arg(till.root()).toUtf8());
    const auto openUnderRoot = [this] {
        QStringList open;
        for (const QFileInfo &fd :
             QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files)) {
            if (fd.symLinkTarget().startsWith(till.root()))
                open << fd.symLinkTarget();
        }
        return open;
    };
    const QStringList before = openUnderRoot();
    handle.balance(QStringLiteral("123"));
    QCOMPARE(openUnderRoot(), before);
    handle.sale(100, QStringLiteral("123"));
    QCOMPARE(openUnderRoot(), before);
    till.writeSettings(QJsonObject());
}

void PluginTest::cardNumberRoundTripsThroughStatusFile_data()
{
    QTest::addColumn<QString>("card");
    QTest::newRow("quotes, backslash, line feed, placeholders")
        << QStringLiteral("12\"3\\4\n%3%2 %1 карта");
    QTest::newRow("outside the BMP") << QStringLiteral("12😀34");
    // No UTF-8 form: it travels as an escape.
    QTest::newRow("lone surrogate")
        << (QStringLiteral("12") + QChar(0xD800) + QStringLiteral("34"));
}

void PluginTest::cardNumberRoundTripsThroughStatusFile()
{
    // The answer comes back to the till through a status file that stays
    // valid JSON.
    QFETCH(QString, card);
    const PaymentProcessingAnswer answer = handle.balance(card);
    QCOMPARE(answer.getCode(), 255);
    QCOMPARE(answer.getMessage(), QStringLiteral("Не удалось подключиться к БД"));

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(till.readStatus(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(document.object().value(QStringLiteral("cardNumber")).toString(), card);
    QCOMPARE(answer.getCardNumber(), card);
    // The template and its spacing stay as the till's tools expect them.
    QVERIFY(till.readStatus().startsWith("{ \"status\" : 255, \"description\" : \""));
}

QTEST_GUILESS_MAIN(PluginTest)
#include "tst_plugin.moc"
