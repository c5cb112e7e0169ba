// JSON string literals written by hand must be what QJsonDocument writes:
// the till, the host's callers and the status file's readers parse them.

#include "JsonText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

class JsonTextTest : public QObject
{
    Q_OBJECT

private slots:
    void asQJsonDocumentWritesIt_data();
    void asQJsonDocumentWritesIt();
};

void JsonTextTest::asQJsonDocumentWritesIt_data()
{
    QTest::addColumn<QString>("text");
    const QChar high(0xD83D), low(0xDE00);
    QTest::newRow("empty") << QString();
    QTest::newRow("plain, with DEL") << QStringLiteral("card 2000123456789 \x7f~");
    QTest::newRow("quotes and backslashes") << QStringLiteral("a \"b\" \\c\\ \"");
    QTest::newRow("every control character") << [] {
        QString all;
        for (ushort c = 0; c < 0x20; ++c)
            all += QChar(c);
        return all;
    }();
    QTest::newRow("Cyrillic slip") << QStringLiteral("КЛИЕНТ:\n    Тестов Тест\nДАТА 08/12/26\n");
    QTest::newRow("emoji, a pair") << QStringLiteral("ёж 😀 ¤");
    QTest::newRow("lone high surrogate at the end") << QString(QStringLiteral("x") + high);
    QTest::newRow("lone low surrogate") << QString(low + QStringLiteral("y"));
    QTest::newRow("reversed pair") << QString(QString(low) + high);
    // Longer than a slice, with a pair across the slice boundary.
    QTest::newRow("pair across slices")
        << QString(QString(4095, QLatin1Char('a')) + high + low + QString(5000, QChar(0x44F)));
}

void JsonTextTest::asQJsonDocumentWritesIt()
{
    QFETCH(QString, text);
    const QByteArray array = QJsonDocument(QJsonArray {text}).toJson(QJsonDocument::Compact);
    const QByteArray expected = array.mid(1, array.size() - 2);
    QCOMPARE(JsonText::quoted(text), expected);

    QByteArray appended("prefix:");
    JsonText::appendQuoted(appended, text);
    QCOMPARE(appended, "prefix:" + expected);
}

QTEST_GUILESS_MAIN(JsonTextTest)
#include "tst_jsontext.moc"
