// The bonus client's own arithmetic and its reading of the settings file:
// money and dates as the wire carries them, the transaction identifier, and
// the messages for a settings file it cannot use.

#include "LogCapture.h"
#include "TempTill.h"
#include "VeltaBonusClientThrift.h"

#include "account_logic_types.h"

#include <QDir>
#include <QTimeZone>
#include <QtTest>

#include <limits>

class BonusClientConversionsTest : public QObject
{
    Q_OBJECT

private slots:
    void roublesToKopecks_data();
    void roublesToKopecks();
    void kopecksToRoubles();
    void transactionId_data();
    void transactionId();
    void wireTime_data();
    void wireTime();
    void wireStructures();

    void unusableSettings_data();
    void unusableSettings();

private:
    LogCapture logs;
    TempTill till;
};

void BonusClientConversionsTest::roublesToKopecks_data()
{
    QTest::addColumn<double>("roubles");
    QTest::addColumn<qlonglong>("kopecks");

    QTest::newRow("0.1") << 0.1 << 10LL;
    QTest::newRow("99.995 rounds up") << 99.995 << 10000LL;
    QTest::newRow("1.005 stays below the half") << 1.005 << 100LL;
    QTest::newRow("-0.01 truncates toward zero") << -0.01 << 0LL;
    QTest::newRow("-0.02") << -0.02 << -1LL;
    QTest::newRow("12345.67") << 12345.67 << 1234567LL;
    QTest::newRow("12.34") << 12.34 << 1234LL;
    QTest::newRow("0.285") << 0.285 << 28LL;
    QTest::newRow("zero") << 0.0 << 0LL;
    QTest::newRow("beyond 32 bits") << 30000000.0 << 3000000000LL;
}

void BonusClientConversionsTest::roublesToKopecks()
{
    QFETCH(double, roubles);
    QFETCH(qlonglong, kopecks);
    QCOMPARE(VeltaBonusClientThrift::toLongLong(roubles), kopecks);
}

void BonusClientConversionsTest::kopecksToRoubles()
{
    QCOMPARE(VeltaBonusClientThrift::fromLongLong(150), 1.5);
    QCOMPARE(VeltaBonusClientThrift::fromLongLong(-1), -0.01);
    QCOMPARE(VeltaBonusClientThrift::fromLongLong(3000000000LL), 30000000.0);
}

void BonusClientConversionsTest::transactionId_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<double>("roubles");
    QTest::addColumn<QString>("expected");

    const QTime morning(9, 15, 7, 123);
    QTest::newRow("12.34") << morning << 12.34 << QStringLiteral("0915071231234");
    QTest::newRow("12345.67 in exponent form")
        << morning << 12345.67 << QStringLiteral("0915071231.23457e+06");
    QTest::newRow("1234.50") << morning << 1234.50 << QStringLiteral("091507123123450");
    QTest::newRow("0.29 is 29 kopecks") << morning << 0.29 << QStringLiteral("09150712329");
    QTest::newRow("afternoon, 24-hour clock")
        << QTime(23, 5, 9, 7) << 1.0 << QStringLiteral("230509007100");
    QTest::newRow("midnight, fraction of a kopeck")
        << QTime(0, 0) << 0.005 << QStringLiteral("0000000000.5");
}

void BonusClientConversionsTest::transactionId()
{
    QFETCH(QTime, time);
    QFETCH(double, roubles);
    QFETCH(QString, expected);
    const QDateTime moment(QDate(2024, 3, 5), time);
    QCOMPARE(VeltaBonusClientThrift::transactionId(moment, roubles), expected);
}

void BonusClientConversionsTest::wireTime_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<qint64>("milliseconds");

    const QTimeZone utc = QTimeZone::utc();
    const qint64 outOfRange = Q_INT64_C(4294967295000);
    QTest::newRow("null") << QDateTime() << Q_INT64_C(0);
    QTest::newRow("epoch") << QDateTime(QDate(1970, 1, 1), QTime(0, 0), utc) << Q_INT64_C(0);
    QTest::newRow("a day in 2024, milliseconds dropped")
        << QDateTime(QDate(2024, 3, 5), QTime(9, 15, 7, 999), utc) << Q_INT64_C(1709630107000);
    QTest::newRow("local time is converted")
        << QDateTime(QDate(2024, 3, 5), QTime(12, 15, 7), QTimeZone(3 * 3600))
        << Q_INT64_C(1709630107000);
    QTest::newRow("half a second before 1970 truncates to 0")
        << QDateTime(QDate(1969, 12, 31), QTime(23, 59, 59, 500), utc) << Q_INT64_C(0);
    QTest::newRow("before 1970") << QDateTime(QDate(1969, 12, 31), QTime(23, 59, 59), utc)
                                 << outOfRange;
    QTest::newRow("long before 1970")
        << QDateTime(QDate(1900, 1, 1), QTime(0, 0), utc) << outOfRange;
    QTest::newRow("last representable second")
        << QDateTime(QDate(2106, 2, 7), QTime(6, 28, 14), utc) << Q_INT64_C(4294967294000);
    QTest::newRow("2106-02-07 06:28:15")
        << QDateTime(QDate(2106, 2, 7), QTime(6, 28, 15), utc) << outOfRange;
    QTest::newRow("after 2106") << QDateTime(QDate(2200, 1, 1), QTime(0, 0), utc) << outOfRange;
}

void BonusClientConversionsTest::wireTime()
{
    QFETCH(QDateTime, moment);
    QFETCH(qint64, milliseconds);
    QCOMPARE(VeltaBonusClientThrift::toWireTime(moment), milliseconds);

    AdditionalAssetInfo info;
    info.dateFromCash = moment;
    const auto wire = VeltaBonusClientThrift::toTAddAssetInfo(info);
    QCOMPARE(qint64(wire.dateFromCash), milliseconds);
}

void BonusClientConversionsTest::wireStructures()
{
    AssetGroup group;
    group.groupId = QStringLiteral("Группа-7");
    group.beginDate = QDateTime(QDate(2024, 1, 1), QTime(0, 0), QTimeZone::utc());
    group.weight = -3;
    const auto wire = VeltaBonusClientThrift::toTAssetGroup(group);
    QCOMPARE(QByteArray::fromStdString(wire.groupId), QStringLiteral("Группа-7").toUtf8());
    QCOMPARE(qint64(wire.beginDate), Q_INT64_C(1704067200000));
    QCOMPARE(qint64(wire.endDate), Q_INT64_C(0));
    QCOMPARE(wire.weight, -3);
}

void BonusClientConversionsTest::unusableSettings_data()
{
    QTest::addColumn<QByteArray>("content"); // what the settings path holds
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("logged");

    const QString missing = QStringLiteral("Файл с настройками не найден");
    const QString broken = QStringLiteral("Ошибка в файле настроек");
    QTest::newRow("no file") << QByteArray() << missing << true;
    QTest::newRow("a directory in its place") << QByteArray("<dir>") << missing << true;
    QTest::newRow("empty file") << QByteArray("") << broken << false;
    QTest::newRow("cut short") << QByteArray("{\"address\": \"127.0.0.1\", \"port\": ") << broken
                               << false;
}

void BonusClientConversionsTest::unusableSettings()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    QFETCH(bool, logged);

    till.removeSettings();
    QDir().rmdir(till.settingsPath());
    if (content == "<dir>")
        QVERIFY(QDir().mkdir(till.settingsPath()));
    else if (!content.isNull())
        till.writeSettingsRaw(content);
    logs.clear();

    try {
        VeltaBonusClientThrift client;
        QFAIL("the client was made");
    } catch (const BonusSystemError &e) {
        QCOMPARE(QString::fromUtf8(e.what()), message);
        QVERIFY(e.kind() == BonusSystemError::Kind::Settings);
    }
    const QStringList expected = logged ? QStringList {message} : QStringList();
    QCOMPARE(logs.messages(QStringLiteral("veltabonus")), expected);
    QCOMPARE(logs.messages(QStringLiteral("veltabonus"), QStringLiteral("ERROR")), expected);
    QDir().rmdir(till.settingsPath());
}

QTEST_GUILESS_MAIN(BonusClientConversionsTest)
#include "tst_bonusclientconversions.moc"
