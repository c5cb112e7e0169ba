// Reading the receipt image the till writes before a payment or cancel: the
// receipt number and cash-desk code that reach the slip, the cashier code
// that reaches the cashier lookup, and the failures the cashier is told of.

#include "BonusCredit.h"
#include "LogCapture.h"
#include "ReceiptImage.h"
#include "TempTill.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class CheckImageTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void values_data();
    void values();
    void refused_data();
    void refused();
    void balanceNeedsNoImage();

private:
    // The cashier code as the cashier lookup searches for it.
    QString searchedCashierCode();
    void loadEarlierReceipt();

    std::unique_ptr<TempTill> till;
    std::unique_ptr<BonusCredit> engine;
    std::unique_ptr<LogCapture> log;
};

void CheckImageTest::initTestCase()
{
    till.reset(new TempTill);
    till->writeSettingsRaw("{}");
}

void CheckImageTest::init()
{
    QDir(till->checkImagePath()).removeRecursively();
    till->removeCheckImage();
    engine.reset(new BonusCredit);
    QVERIFY(engine->generateSettings());
    QVERIFY(engine->generateParams(BonusCredit::Sale, 100, QStringLiteral("1001")));
    log.reset(new LogCapture);
}

void CheckImageTest::cleanup()
{
    log.reset();
    engine.reset();
}

QString CheckImageTest::searchedCashierCode()
{
    // No database here: the lookup logs the code it searches for, then fails.
    log->clear();
    try {
        engine->getChashier();
    } catch (const BonusCreditException &) {
    }
    const QString prefix = QStringLiteral("Поиск кассира с кодом ");
    for (const QString &message :
         log->messages(QStringLiteral("payment"), QStringLiteral("INFO"))) {
        if (message.startsWith(prefix))
            return message.mid(prefix.size());
    }
    return QStringLiteral("<not searched>");
}

void CheckImageTest::loadEarlierReceipt()
{
    till->writeCheckImageRaw(R"({"num": 42, "cashCode": "3", "cashierCode": "17"})");
    QVERIFY(engine->generateCheckImg());
    QCOMPARE(engine->getCheckNumber(), 42);
}

void CheckImageTest::values_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("cashCode");
    QTest::addColumn<QString>("cashierCode");

    QTest::newRow("strings for the codes")
        << QByteArray(R"({"num": 42, "cashCode": "3", "cashierCode": "17"})") << 42
        << QStringLiteral("3") << QStringLiteral("17");
    QTest::newRow("numbers for the codes")
        << QByteArray(R"({"num": 42, "cashCode": 3, "cashierCode": 17})") << 42
        << QStringLiteral("3") << QStringLiteral("17");
    QTest::newRow("number as text, no cashier")
        << QByteArray(R"({"num": "42", "cashCode": 3})") << 42 << QStringLiteral("3") << QString();
    QTest::newRow("long codes as numbers")
        << QByteArray(R"({"num": 123456, "cashCode": 12345678, "cashierCode": 1000001})") << 123456
        << QStringLiteral("12345678") << QStringLiteral("1000001");
    QTest::newRow("number that is no number")
        << QByteArray(R"({"num": "abc", "cashCode": "", "cashierCode": ""})") << 0 << QString()
        << QString();
    QTest::newRow("unusable types")
        << QByteArray(R"({"num": [1], "cashCode": null, "cashierCode": {"a": 1}})") << 0
        << QString() << QString();
    QTest::newRow("keys differing in case are not read")
        << QByteArray(R"({"Num": 42, "CashCode": "3", "cashiercode": "17"})") << 0 << QString()
        << QString();
    QTest::newRow("other keys kept, not read")
        << QByteArray(R"({"num": 7, "goods": [{"name": "Хлеб"}], "cashierCode": "Ж-1"})") << 7
        << QString() << QStringLiteral("Ж-1");
    QTest::newRow("top level array accepted")
        << QByteArray("[1, 2]") << 0 << QString() << QString();
    QTest::newRow("empty object") << QByteArray("{}") << 0 << QString() << QString();
    QTest::newRow("as payment-host writes it, quotes and all")
        << ReceiptImage::toBytes(42, QStringLiteral("3\""), QStringLiteral("Ж-\\1")) << 42
        << QStringLiteral("3\"") << QStringLiteral("Ж-\\1");
    QTest::newRow("CRLF line ends")
        << QByteArray("{\r\n\"num\": 9,\r\n\"cashCode\": \"1\"\r\n}\r\n") << 9
        << QStringLiteral("1") << QString();
}

void CheckImageTest::values()
{
    QFETCH(QByteArray, image);
    QFETCH(int, number);
    QFETCH(QString, cashCode);
    QFETCH(QString, cashierCode);

    loadEarlierReceipt();
    till->writeCheckImageRaw(image);
    log->clear();

    QVERIFY(engine->generateCheckImg());

    // Accepted silently: no status, no error line.
    QCOMPARE(till->readStatus(), QByteArray());
    QVERIFY(log->messages(QString(), QStringLiteral("ERROR")).isEmpty());
    // Nothing of the earlier receipt survives.
    QCOMPARE(engine->getCheckNumber(), number);
    QCOMPARE(engine->getCashCode(), cashCode);
    QCOMPARE(searchedCashierCode(), cashierCode);
    // The slip shows the same.
    const QStringList slip = engine->getSlip().split(QLatin1Char('\n'));
    QCOMPARE(slip.at(2),
             QStringLiteral("    Касса:") + cashCode.rightJustified(20, QLatin1Char(' ')));
    QCOMPARE(slip.at(6).trimmed(),
             QStringLiteral("ЧЕК ") + QString::number(number).rightJustified(5, QLatin1Char('0')));
}

void CheckImageTest::refused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("image");

    QTest::newRow("missing file") << "missing" << QByteArray();
    QTest::newRow("a directory in its place") << "directory" << QByteArray();
    QTest::newRow("truncated JSON") << "file" << QByteArray(R"({"num": 42)");
    QTest::newRow("empty file") << "file" << QByteArray();
    QTest::newRow("not JSON") << "file" << QByteArray("num=42");
    QTest::newRow("trailing garbage") << "file" << QByteArray(R"({"num": 42} x)");
}

void CheckImageTest::refused()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, image);

    loadEarlierReceipt();
    till->removeCheckImage();
    if (kind == QStringLiteral("file"))
        till->writeCheckImageRaw(image);
    else if (kind == QStringLiteral("directory"))
        QVERIFY(QDir().mkpath(till->checkImagePath()));
    log->clear();

    QVERIFY(!engine->generateCheckImg());

    QCOMPARE(QString::fromUtf8(till->readStatus()),
             QStringLiteral(R"({ "status" : 255, "description" : "Неверный формат образа чека", )"
                            R"("cardNumber" : "1001" })"));
    QCOMPARE(log->messages(QStringLiteral("payment"), QStringLiteral("ERROR")),
             QStringList {QStringLiteral("Неверный формат образа чека")});
    // Nothing of the earlier receipt survives a failed read.
    QCOMPARE(engine->getCheckNumber(), 0);
    QCOMPARE(engine->getCashCode(), QString());
    QCOMPARE(searchedCashierCode(), QString());
}

void CheckImageTest::balanceNeedsNoImage()
{
    loadEarlierReceipt();
    till->removeCheckImage();
    QVERIFY(engine->generateParams(BonusCredit::Balance, 0, QStringLiteral("1001")));
    log->clear();

    QVERIFY(engine->generateCheckImg());
    QCOMPARE(till->readStatus(), QByteArray());
    QVERIFY(log->messages(QString(), QStringLiteral("ERROR")).isEmpty());

    // Not even a broken file is looked at, and the earlier receipt stays.
    till->writeCheckImageRaw(R"({"num": 1)");
    QVERIFY(engine->generateCheckImg());
    QCOMPARE(till->readStatus(), QByteArray());
    QCOMPARE(engine->getCheckNumber(), 42);
}

QTEST_GUILESS_MAIN(CheckImageTest)
#include "tst_checkimage.moc"
