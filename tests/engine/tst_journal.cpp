// The journal's look for unsettled records is skipped while its files are
// as the last look left them: a record written by another connection (in a
// till, another process) must still be seen at once.

#include "OperationJournal.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class JournalTest : public QObject
{
    Q_OBJECT

private slots:
    void unsettledSeenAtOnce_data();
    void unsettledSeenAtOnce();
};

void JournalTest::unsettledSeenAtOnce_data()
{
    // Steps on journal a or b: "?" asks for unsettled records (the answer
    // is the next of `seen`), "+" begins a record, "=" settles the last
    // one begun, "!" records a failed reversal of it.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<bool>>("seen");
    QTest::newRow("another's record")
        << QStringList {"a?", "b+", "a?"} << QList<bool> {false, true};
    QTest::newRow("another's record, settled")
        << QStringList {"a?", "b+", "b=", "a?"} << QList<bool> {false, false};
    QTest::newRow("own record settled, then another's")
        << QStringList {"a?", "a+", "a=", "a?", "b+", "a?"} << QList<bool> {false, false, true};
    QTest::newRow("own reversal failed")
        << QStringList {"a?", "a+", "a!", "a?", "a="} << QList<bool> {false, true};
    QTest::newRow("another settles what was seen")
        << QStringList {"b+", "a?", "b=", "a?", "a?"} << QList<bool> {true, false, false};
}

void JournalTest::unsettledSeenAtOnce()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<bool>, seen);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("journal.sqlite"));
    OperationJournal a(path), b(path);
    a.open();
    b.open();
    qint64 last[2] = {0, 0};
    int asked = 0, counter = 0;
    for (const QString &step : steps) {
        const int who = step.at(0) == QLatin1Char('a') ? 0 : 1;
        OperationJournal &journal = who == 0 ? a : b;
        switch (step.at(1).toLatin1()) {
        case '?':
            QCOMPARE(journal.hasUnsettled(), seen.at(asked++));
            break;
        case '+':
            last[who] = journal.begin(QStringLiteral("t%1").arg(++counter), QStringLiteral("T1"),
                                      QStringLiteral("2000"), 1, 100);
            break;
        case '=':
            journal.settle(last[who], QStringLiteral("committed"));
            break;
        case '!':
            journal.reversalFailed(last[who], QStringLiteral("no server"));
            break;
        }
    }
    QCOMPARE(asked, seen.size());
}

QTEST_GUILESS_MAIN(JournalTest)
#include "tst_journal.moc"
