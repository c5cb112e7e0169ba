// The slips as the receipt printer gets them: every line padded to the slip
// width, labels left, values right, titles centred.

#include "Clock.h"
#include "RunState.h"
#include "Slip.h"

#include <QtTest>

namespace {

// The slip text from its lines, one line feed after each.
QString slip(const QStringList &lines)
{
    QString text;
    for (const QString &line : lines)
        text += line + QLatin1Char('\n');
    return text;
}

QStringList lines(const QString &slip)
{
    QStringList result = slip.split(QLatin1Char('\n'));
    // The text ends with a line feed: the last piece is empty.
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

QString spaces(int n)
{
    return QString(qMax(n, 0), QLatin1Char(' '));
}

} // namespace

class SlipTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void workedExample();
    void balanceSlip();
    void dateLineFromTheSystemClock_data();
    void dateLineFromTheSystemClock();
    void paymentSlip_data();
    void paymentSlip();
    void clientNameAtWidth_data();
    void clientNameAtWidth();
    void emptyCashierName();
    void receiptNumber_data();
    void receiptNumber();
    void widths_data();
    void widths();
    void placeholdersInValues();
    void helpers_data();
    void helpers();

private:
    QString payment() const { return Slip(header, width).payment(run); }
    QString balance() const { return Slip(header, width).balance(run); }

    QString header;
    int width = 0;
    RunState run;
};

void SlipTest::initTestCase()
{
    Clock::setFixed(QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)));
}

void SlipTest::cleanupTestCase()
{
    Clock::setFixed(QDateTime());
}

// The card, client, receipt and cashier of the worked example.
void SlipTest::init()
{
    width = 30;
    header = QStringLiteral("Бонтария");
    run = RunState();
    run.operation = 1;
    run.amount = 150;
    run.balance = 1000;
    run.clientName = QStringLiteral("Тестов Тест");
    run.cardId = QStringLiteral("7001");
    run.cardNumber = QStringLiteral("1001");
    run.receipt = ReceiptImage::fromBytes(R"({"num": 42, "cashCode": "2", "cashierCode": "17"})");
    run.cashierName = QStringLiteral("Кассирова Мария");
}

void SlipTest::workedExample()
{
    const QString expected = slip({
        QStringLiteral("           Бонтария           "),
        QStringLiteral("                              "),
        QStringLiteral("    Касса:                   2"),
        QStringLiteral("    Кассир:                   "),
        QStringLiteral("                     Кассирова"),
        QStringLiteral("                         Мария"),
        QStringLiteral("                              "),
        QStringLiteral("          ЧЕК 00042           "),
        QStringLiteral("ОПЛАТА                        "),
        QStringLiteral("                              "),
        QStringLiteral("КЛИЕНТ:                       "),
        QStringLiteral("                   Тестов Тест"),
        QStringLiteral("КАРТА:                        "),
        QStringLiteral("                          7001"),
        QStringLiteral("СУММА:              150.00 RUR"),
        QStringLiteral("                              "),
        QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:    850.00 RUR"),
        QStringLiteral("                              "),
        QStringLiteral("ДАТА 05/03/24   ВРЕМЯ 14:07:09"),
        QStringLiteral("                              "),
        QStringLiteral("______________________________"),
        QStringLiteral("       ПОДПИСЬ КЛИЕНТА        "),
        QStringLiteral("                              "),
        QStringLiteral("______________________________"),
        QStringLiteral("                              "),
    });
    const QString actual = payment();
    QCOMPARE(actual, expected);
    // Byte for byte as the printer gets it.
    QCOMPARE(actual.toUtf8(), expected.toUtf8());
}

void SlipTest::balanceSlip()
{
    const QString expected = slip({
        QStringLiteral("           Бонтария           "),
        QStringLiteral("                              "),
        QStringLiteral("КЛИЕНТ:                       "),
        QStringLiteral("                   Тестов Тест"),
        QStringLiteral("КАРТА:                        "),
        QStringLiteral("                          7001"),
        QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:   1000.00 RUR"),
        QStringLiteral("                              "),
        QStringLiteral("ДАТА 05/03/24   ВРЕМЯ 14:07:09"),
        QStringLiteral("                              "),
    });
    run.operation = 5;
    QCOMPARE(balance(), expected);

    // Nothing of the receipt or the cashier reaches it.
    run.receipt = ReceiptImage();
    run.cashierName.clear();
    QCOMPARE(balance(), expected);
}

void SlipTest::dateLineFromTheSystemClock_data()
{
    // Set while the process runs: the slip must follow, as QDateTime does.
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<int>("offset");
    QTest::newRow("UTC") << QByteArray("UTC0") << 0;
    QTest::newRow("three hours east") << QByteArray("MSK-3") << 3 * 3600;
    QTest::newRow("three and a half hours west") << QByteArray("NST+3:30") << -(3 * 3600 + 1800);
}

void SlipTest::dateLineFromTheSystemClock()
{
    QFETCH(QByteArray, zone);
    QFETCH(int, offset);
    const bool hadZone = qEnvironmentVariableIsSet("TZ");
    const QByteArray savedZone = qgetenv("TZ");
    qputenv("TZ", zone);
    Clock::setFixed(QDateTime());
    const auto restore = qScopeGuard([&] {
        if (hadZone)
            qputenv("TZ", savedZone);
        else
            qunsetenv("TZ");
        tzset();
        Clock::setFixed(QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)));
    });
    // From UTC, so that nothing here tells the C library of the new zone.
    const auto line = [offset](const QDateTime &utc) {
        const QDateTime moment = utc.addSecs(offset);
        return QStringLiteral("ДАТА %1   ВРЕМЯ %2")
            .arg(moment.toString(QStringLiteral("dd/MM/yy")),
                 moment.toString(QStringLiteral("hh:mm:ss")));
    };

    run.operation = 5;
    const QString before = line(QDateTime::currentDateTimeUtc());
    const QString shown = lines(balance()).value(8);
    const QString after = line(QDateTime::currentDateTimeUtc());
    QVERIFY2(shown == before || shown == after, qPrintable(shown + QStringLiteral(" / ") + before));
}

void SlipTest::paymentSlip_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<double>("amount");
    QTest::addColumn<double>("balance");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("shownAmount");
    QTest::addColumn<QString>("shownLimit");

    QTest::newRow("sale: balance minus amount")
        << 1 << 150.0 << 1000.0 << QStringLiteral("ОПЛАТА") << QStringLiteral("150.00")
        << QStringLiteral("850.00");
    QTest::newRow("refund: balance plus amount")
        << 2 << 150.0 << 1000.0 << QStringLiteral("ОТМЕНА ОПЛАТЫ") << QStringLiteral("150.00")
        << QStringLiteral("1150.00");
    QTest::newRow("cancel: balance plus amount")
        << 3 << 2.5 << 0.0 << QStringLiteral("ОТМЕНА ОПЛАТЫ") << QStringLiteral("2.50")
        << QStringLiteral("2.50");
    QTest::newRow("sale of the whole balance")
        << 1 << 100.0 << 100.0 << QStringLiteral("ОПЛАТА") << QStringLiteral("100.00")
        << QStringLiteral("0.00");
    QTest::newRow("negative limit keeps its sign")
        << 1 << 10.0 << 4.5 << QStringLiteral("ОПЛАТА") << QStringLiteral("10.00")
        << QStringLiteral("-5.50");
    QTest::newRow("no digit grouping, rounded to kopecks")
        << 2 << 1234567.891 << 0.0 << QStringLiteral("ОТМЕНА ОПЛАТЫ")
        << QStringLiteral("1234567.89") << QStringLiteral("1234567.89");
}

void SlipTest::paymentSlip()
{
    QFETCH(int, operation);
    QFETCH(double, amount);
    QFETCH(double, balance);
    QFETCH(QString, title);
    QFETCH(QString, shownAmount);
    QFETCH(QString, shownLimit);

    run.operation = operation;
    run.amount = amount;
    run.balance = balance;

    const QStringList actual = lines(payment());
    QCOMPARE(actual.size(), 25); // a two-word cashier name: one line more than 24
    QCOMPARE(actual.at(8), title.leftJustified(30, QLatin1Char(' ')));
    QCOMPARE(actual.at(14),
             QStringLiteral("СУММА:") + spaces(20 - shownAmount.size()) + shownAmount
                 + QStringLiteral(" RUR"));
    QCOMPARE(actual.at(16),
             QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:") + spaces(10 - shownLimit.size()) + shownLimit
                 + QStringLiteral(" RUR"));
}

void SlipTest::clientNameAtWidth_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("nameLines");

    const QString name = QStringLiteral("Иванова-Петрова Мария Ильинична");
    QCOMPARE(name.size(), 31);
    QTest::newRow("exactly W stays on one line") << 31 << name << QStringList {name};
    QTest::newRow("W + 1 goes word by word")
        << 30 << name
        << QStringList {spaces(15) + QStringLiteral("Иванова-Петрова"),
                        spaces(25) + QStringLiteral("Мария"),
                        spaces(21) + QStringLiteral("Ильинична")};
    QTest::newRow("short name right-justified")
        << 30 << QStringLiteral("Ян") << QStringList {spaces(28) + QStringLiteral("Ян")};
    QTest::newRow("word longer than W stays whole")
        << 10 << QStringLiteral("Константинопольская Анна")
        << QStringList {QStringLiteral("Константинопольская"), QStringLiteral("      Анна")};
    QTest::newRow("extra spaces make no lines")
        << 10 << QStringLiteral("  Анна   Мария Ли ")
        << QStringList {QStringLiteral("      Анна"), QStringLiteral("     Мария"),
                        QStringLiteral("        Ли")};
}

void SlipTest::clientNameAtWidth()
{
    QFETCH(int, width);
    QFETCH(QString, name);
    QFETCH(QStringList, nameLines);

    this->width = width;
    run.clientName = name;

    // Both slips: the name block sits between "КЛИЕНТ:" and "КАРТА:".
    for (const QString &text : {payment(), balance()}) {
        const QStringList actual = lines(text);
        const int client
            = actual.indexOf(QStringLiteral("КЛИЕНТ:").leftJustified(width, QLatin1Char(' ')));
        const int card
            = actual.indexOf(QStringLiteral("КАРТА:").leftJustified(width, QLatin1Char(' ')));
        QVERIFY2(client >= 0 && card > client, qPrintable(text));
        QCOMPARE(actual.mid(client + 1, card - client - 1), nameLines);
    }
}

void SlipTest::emptyCashierName()
{
    run.cashierName = QString();
    const QStringList actual = lines(payment());
    QCOMPARE(actual.size(), 24);
    QCOMPARE(actual.at(3), QStringLiteral("    Кассир:                   "));
    // Unlike a blank entry: no spaces at all.
    QCOMPARE(actual.at(4), QString());
    QCOMPARE(actual.at(5), spaces(30));
}

void SlipTest::receiptNumber_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("line");

    QTest::newRow("7") << QByteArray(R"({"num": 7})")
                       << QStringLiteral("          ЧЕК 00007           ");
    QTest::newRow("123456 not cut")
        << QByteArray(R"({"num": 123456})") << QStringLiteral("          ЧЕК 123456          ");
    QTest::newRow("12345 fills five")
        << QByteArray(R"({"num": 12345})") << QStringLiteral("          ЧЕК 12345           ");
    QTest::newRow("missing reads 0")
        << QByteArray("{}") << QStringLiteral("          ЧЕК 00000           ");
    QTest::newRow("text holding a number")
        << QByteArray(R"({"num": "42"})") << QStringLiteral("          ЧЕК 00042           ");
}

void SlipTest::receiptNumber()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, line);

    run.receipt = ReceiptImage::fromBytes(image);
    QCOMPARE(lines(payment()).at(7), line);
}

void SlipTest::widths_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("expected");

    QTest::newRow("W = 40")
        << 40
        << slip({
               spaces(16) + QStringLiteral("Бонтария") + spaces(16),
               spaces(40),
               QStringLiteral("    Касса:") + spaces(29) + QStringLiteral("2"),
               QStringLiteral("    Кассир:") + spaces(29),
               spaces(31) + QStringLiteral("Кассирова"),
               spaces(35) + QStringLiteral("Мария"),
               spaces(40),
               spaces(15) + QStringLiteral("ЧЕК 00042") + spaces(16),
               QStringLiteral("ОПЛАТА") + spaces(34),
               spaces(40),
               QStringLiteral("КЛИЕНТ:") + spaces(33),
               spaces(29) + QStringLiteral("Тестов Тест"),
               QStringLiteral("КАРТА:") + spaces(34),
               spaces(36) + QStringLiteral("7001"),
               QStringLiteral("СУММА:") + spaces(24) + QStringLiteral("150.00 RUR"),
               spaces(40),
               QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:") + spaces(14) + QStringLiteral("850.00 RUR"),
               spaces(40),
               spaces(10) + QStringLiteral("ДАТА 05/03/24   ВРЕМЯ 14:07:09"),
               spaces(40),
               QString(40, QLatin1Char('_')),
               spaces(12) + QStringLiteral("ПОДПИСЬ КЛИЕНТА") + spaces(13),
               spaces(40),
               QString(40, QLatin1Char('_')),
               spaces(40),
           });
    // Too narrow for the values: nothing is cut, the lines grow.
    QTest::newRow("W = 10") << 10
                            << slip({
                                   QStringLiteral(" Бонтария "),
                                   spaces(10),
                                   QStringLiteral("    Касса:2"),
                                   QStringLiteral("    Кассир:"),
                                   QStringLiteral(" Кассирова"),
                                   QStringLiteral("     Мария"),
                                   spaces(10),
                                   QStringLiteral("ЧЕК 00042 "),
                                   QStringLiteral("ОПЛАТА    "),
                                   spaces(10),
                                   QStringLiteral("КЛИЕНТ:   "),
                                   QStringLiteral("    Тестов"),
                                   QStringLiteral("      Тест"),
                                   QStringLiteral("КАРТА:    "),
                                   QStringLiteral("      7001"),
                                   QStringLiteral("СУММА:150.00 RUR"),
                                   spaces(10),
                                   QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:850.00 RUR"),
                                   spaces(10),
                                   QStringLiteral("ДАТА 05/03/24   ВРЕМЯ 14:07:09"),
                                   spaces(10),
                                   QString(10, QLatin1Char('_')),
                                   QStringLiteral("ПОДПИСЬ КЛИЕНТА"),
                                   spaces(10),
                                   QString(10, QLatin1Char('_')),
                                   spaces(10),
                               });
    // A negative width is no error: blank and rule entries are empty and
    // nothing is padded.
    QTest::newRow("W = -5") << -5
                            << slip({
                                   QStringLiteral("Бонтария"),
                                   QString(),
                                   QStringLiteral("    Касса:2"),
                                   QStringLiteral("    Кассир:"),
                                   QStringLiteral("Кассирова"),
                                   QStringLiteral("Мария"),
                                   QString(),
                                   QStringLiteral("ЧЕК 00042"),
                                   QStringLiteral("ОПЛАТА"),
                                   QString(),
                                   QStringLiteral("КЛИЕНТ:"),
                                   QStringLiteral("Тестов"),
                                   QStringLiteral("Тест"),
                                   QStringLiteral("КАРТА:"),
                                   QStringLiteral("7001"),
                                   QStringLiteral("СУММА:150.00 RUR"),
                                   QString(),
                                   QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:850.00 RUR"),
                                   QString(),
                                   QStringLiteral("ДАТА 05/03/24   ВРЕМЯ 14:07:09"),
                                   QString(),
                                   QString(),
                                   QStringLiteral("ПОДПИСЬ КЛИЕНТА"),
                                   QString(),
                                   QString(),
                                   QString(),
                               });
}

void SlipTest::widths()
{
    QFETCH(int, width);
    QFETCH(QString, expected);

    this->width = width;
    QCOMPARE(payment(), expected);
}

void SlipTest::placeholdersInValues()
{
    header = QStringLiteral("%2 Бонтария %1");
    run.clientName = QStringLiteral("Иван %5");
    run.cardId = QStringLiteral("%13");
    run.cashierName = QStringLiteral("%1");
    run.receipt = ReceiptImage::fromBytes(R"({"num": 42, "cashCode": "%24"})");

    const QStringList actual = lines(payment());
    QCOMPARE(actual.size(), 24);
    QCOMPARE(actual.at(0), QStringLiteral("        %2 Бонтария %1        "));
    QCOMPARE(actual.at(2), QStringLiteral("    Касса:") + spaces(17) + QStringLiteral("%24"));
    QCOMPARE(actual.at(4), spaces(28) + QStringLiteral("%1"));
    QCOMPARE(actual.at(10), spaces(23) + QStringLiteral("Иван %5"));
    QCOMPARE(actual.at(12), spaces(27) + QStringLiteral("%13"));
    QCOMPARE(actual.at(17), QStringLiteral("ДАТА 05/03/24   ВРЕМЯ 14:07:09"));

    const QStringList balanceLines = lines(balance());
    QCOMPARE(balanceLines.at(3), spaces(23) + QStringLiteral("Иван %5"));
    QCOMPARE(balanceLines.at(5), spaces(27) + QStringLiteral("%13"));
}

void SlipTest::helpers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("centred");
    QTest::addColumn<QString>("wordLines");

    QTest::newRow("odd margins") << QStringLiteral("ПОДПИСЬ КЛИЕНТА") << 30
                                 << spaces(7) + QStringLiteral("ПОДПИСЬ КЛИЕНТА") + spaces(8)
                                 << spaces(23) + QStringLiteral("ПОДПИСЬ\n") + spaces(23)
            + QStringLiteral("КЛИЕНТА");
    QTest::newRow("odd text, even width")
        << QStringLiteral("ЧЕК 00042") << 30
        << spaces(10) + QStringLiteral("ЧЕК 00042") + spaces(11)
        << spaces(27) + QStringLiteral("ЧЕК\n") + spaces(25) + QStringLiteral("00042");
    QTest::newRow("as wide as the field")
        << QStringLiteral("abcdef") << 6 << QStringLiteral("abcdef") << QStringLiteral("abcdef");
    QTest::newRow("wider than the field")
        << QStringLiteral("abc defgh") << 4 << QStringLiteral("abc defgh")
        << QStringLiteral(" abc\ndefgh");
    QTest::newRow("empty") << QString() << 4 << spaces(4) << QString();
    QTest::newRow("spaces only") << QStringLiteral("   ") << 4 << QStringLiteral("    ")
                                 << QString();
    QTest::newRow("tab is no separator")
        << QStringLiteral("a\tb c") << 4 << QStringLiteral("a\tb c")
        << QStringLiteral(" a\tb\n   c");
}

void SlipTest::helpers()
{
    QFETCH(QString, text);
    QFETCH(int, width);
    QFETCH(QString, centred);
    QFETCH(QString, wordLines);

    QCOMPARE(centerStr(text, width), centred);
    QCOMPARE(rightStrList(text, width), wordLines);
}

QTEST_GUILESS_MAIN(SlipTest)
#include "tst_slip.moc"
