// The journal and the settlement of what it holds. The look for unsettled
// records is skipped while its files are as the last look left them: a
// record written by another connection (in a till, another process) must
// still be seen at once. Reversals follow their rule over time, on a clock
// the test moves; ids never repeat; a damaged file is reported, never
// replaced, and an old one keeps working.

#include "AccountingTestServer.h"
#include "AdditionalAssetInfo.h"
#include "BonusSettings.h"
#include "CardFlow.h"
#include "Clock.h"
#include "OperationJournal.h"
#include "RefusedPort.h"
#include "ReversalRule.h"
#include "Settlement.h"
#include "VeltaBonusClientThrift.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

namespace api = accounting::logic::thriftapi;
using Record = OperationJournal::Record;

namespace {

api::Result answered(bool success, const std::string &sessionId = std::string())
{
    api::Result result;
    result.__set_success(success);
    result.__set_sessionId(sessionId);
    result.__set_description(success ? "ok" : "Транзакция не найдена");
    return result;
}

// A client of `port`, configured as the till's settings would.
std::unique_ptr<VeltaBonusClientThrift> clientOf(const QTemporaryDir &dir, int port)
{
    const QString path = dir.filePath(QStringLiteral("settings-%1.conf").arg(port));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return nullptr;
    file.write(QJsonDocument(QJsonObject {{QStringLiteral("terminalId"), QStringLiteral("T1")},
                                          {QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                                          {QStringLiteral("port"), port},
                                          {QStringLiteral("connectTimeout"), 1000},
                                          {QStringLiteral("recvTimeout"), 2000}})
                   .toJson());
    file.close();
    return std::make_unique<VeltaBonusClientThrift>(BonusSettings::read(path), nullptr);
}

QStringList methodCalls(const AccountingTestServer &server, const std::string &method, int from)
{
    QStringList ids;
    const QList<ReceivedCall> calls = server.calls();
    for (int i = from; i < calls.size(); ++i) {
        if (calls.at(i).method == method)
            ids << QString::fromStdString(calls.at(i).sessionId);
    }
    return ids;
}

// A journal file as the first layout left it, 0644, with a reversal queued,
// and `change` made to it.
void writeOldJournal(const QString &path, const QString &change)
{
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("PRAGMA journal_mode=WAL")));
        QVERIFY(query.exec(QStringLiteral(
            "CREATE TABLE operations (id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " transaction_id TEXT NOT NULL, session_id TEXT NOT NULL DEFAULT '',"
            " terminal_id TEXT NOT NULL, card_number TEXT NOT NULL, operation INTEGER NOT NULL,"
            " amount INTEGER NOT NULL, created_at TEXT NOT NULL, state TEXT NOT NULL,"
            " outcome TEXT NOT NULL DEFAULT '', attempts INTEGER NOT NULL DEFAULT 0,"
            " last_error TEXT NOT NULL DEFAULT '', settled_at TEXT)")));
        QVERIFY(query.exec(QStringLiteral("CREATE INDEX operations_state ON operations (state)")));
        QVERIFY(query.exec(QStringLiteral(
            "INSERT INTO operations (transaction_id, session_id, terminal_id, card_number,"
            " operation, amount, created_at, state, attempts, last_error) VALUES"
            " ('0915071231234', 'S-1', 'T1', '2000', 1, 1234, '2026-01-01T09:15:07.123Z',"
            " 'reversing', 2, 'Нет доступных серверов')")));
        QVERIFY(change.isEmpty() || query.exec(change));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));
    QFile::setPermissions(
        path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

} // namespace

class JournalTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void unsettledSeenAtOnce_data();
    void unsettledSeenAtOnce();
    void reversals_data();
    void reversals();
    void idsNeverRepeat();
    void files_data();
    void files();
};

void JournalTest::cleanup()
{
    Clock::setFixed(QDateTime());
}

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
            journal.settle(last[who], OperationJournal::Outcome::Committed);
            break;
        case '!':
            journal.retry(last[who], OperationJournal::State::Reversing,
                          QStringLiteral("no server"), QDateTime());
            break;
        }
    }
    QCOMPARE(asked, seen.size());
}

void JournalTest::reversals_data()
{
    // Steps: "own" or "session" begins a record of a payment the server
    // may hold, reversed by the till's id or by the server's; "refuse",
    // "accept" or "silent" sets how reversals are answered (silent: no
    // server at all); "+N" moves the clock N seconds; "pass" settles what
    // is due, as each operation does, "all" settles everything, as recover
    // does. Each pass gives "<id named> <state>", the id "T" (the till's),
    // "S" (the server's) or "-" (not tried).
    QTest::addColumn<int>("window");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("passes");

    QTest::newRow("refused: asked again after 30 s, 2 min, 5 min, then every 15 min")
        << 7200 << QStringList {"own",  "refuse", "pass", "+29",  "pass", "+1",     "pass", "+119",
                                "pass", "+1",     "pass", "+299", "pass", "+1",     "pass", "+899",
                                "pass", "+1",     "pass", "+900", "pass", "accept", "all"}
        << QStringList {"T reversing", "- reversing", "T reversing",         "- reversing",
                        "T reversing", "- reversing", "T reversing",         "- reversing",
                        "T reversing", "T reversing", "T settled rolledBack"};
    QTest::newRow("till's id refused past the window: nothing there")
        << 900 << QStringList {"own", "refuse", "pass", "+899", "all", "+1", "all"}
        << QStringList {"T reversing", "T reversing", "T settled rollbackRefused"};
    QTest::newRow("server's id refused past the window: needs attention until accepted")
        << 900 << QStringList {"session", "refuse", "pass", "+900",   "all",
                               "pass",    "+900",   "pass", "accept", "all"}
        << QStringList {"S reversing", "S attention", "- attention", "S attention",
                        "S settled rolledBack"};
    QTest::newRow("server's id unanswered: the till's id next")
        << 900 << QStringList {"session", "silent", "pass", "refuse", "pass", "accept", "all"}
        << QStringList {"S reversing", "T reversing", "T settled rolledBack"};
    // Past 12 hours the server no longer takes the till's id for it: a
    // reversal by it would be answered without voiding anything.
    QTest::newRow("server's id unanswered, then 12 hours on: the server's id again")
        << 900 << QStringList {"session", "silent", "pass", "+43200", "refuse", "pass"}
        << QStringList {"S reversing", "S attention"};
    QTest::newRow("till's id unanswered past the window: asked again")
        << 900 << QStringList {"own", "silent", "+3600", "pass", "pass", "accept", "pass"}
        << QStringList {"T reversing", "T reversing", "T settled rolledBack"};
}

void JournalTest::reversals()
{
    QFETCH(int, window);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, passes);
    QTemporaryDir dir;
    OperationJournal journal(dir.filePath(QStringLiteral("journal.sqlite")));
    AccountingTestServer server;
    bool accept = false;
    server.answer("rollbackTransaction",
                  [&accept](const ReceivedCall &) { return answered(accept); });
    RefusedPort nobody;
    const auto reachable = clientOf(dir, server.port());
    const auto unreachable = clientOf(dir, nobody.port());
    QVERIFY(reachable && unreachable);
    VeltaBonusClientThrift *client = reachable.get();
    Clock::setFixed(QDateTime(QDate(2026, 3, 1), QTime(10, 0), Qt::UTC));

    qint64 id = 0;
    QStringList seen;
    for (const QString &step : steps) {
        if (step == QLatin1String("own") || step == QLatin1String("session")) {
            id = journal.begin(QStringLiteral("100000000150"), QStringLiteral("T1"),
                               QStringLiteral("2000"), 1, 150);
            if (step == QLatin1String("session"))
                journal.accepted(id, QStringLiteral("S"));
        } else if (step == QLatin1String("refuse") || step == QLatin1String("accept")
                   || step == QLatin1String("silent")) {
            accept = step == QLatin1String("accept");
            client = step == QLatin1String("silent") ? unreachable.get() : reachable.get();
        } else if (step.startsWith(QLatin1Char('+'))) {
            Clock::setFixed(Clock::currentDateTimeUtc().addSecs(step.mid(1).toInt()));
        } else {
            const int before = server.calls().size();
            const Record was = journal.record(id);
            Settlement(*client, journal, window).settle(0, step == QLatin1String("all"));
            const Record record = journal.record(id);
            // Without a server, the id is the one the record named, if it
            // was tried.
            QString called
                = methodCalls(server, "rollbackTransaction", before).value(0, QStringLiteral("-"));
            if (client == unreachable.get() && record.attempts > was.attempts)
                called = ReversalRule::idOf(was, Clock::currentDateTimeUtc());
            const QString outcome = OperationJournal::textOf(record.outcome);
            seen << QStringLiteral("%1 %2%3").arg(
                called == QLatin1String("100000000150") ? QStringLiteral("T") : called,
                OperationJournal::textOf(record.state),
                outcome.isEmpty() ? QString() : QLatin1Char(' ') + outcome);
        }
    }
    QCOMPARE(seen, passes);
}

void JournalTest::idsNeverRepeat()
{
    // Every day at the same time of day and amount the id comes out the
    // same: an id the journal holds is never sent again.
    QTemporaryDir dir;
    OperationJournal journal(dir.filePath(QStringLiteral("journal.sqlite")));
    AccountingTestServer server;
    int sessions = 0;
    server.answer("makePay", [&sessions](const ReceivedCall &) {
        return answered(true, "S-" + std::to_string(++sessions));
    });
    server.answer("commitTransaction", answered(true));
    const auto client = clientOf(dir, server.port());
    QVERIFY(client);
    const QDateTime day1(QDate(2026, 3, 1), QTime(10, 0));
    QStringList expected;
    for (const QDateTime &moment : {day1, day1, day1.addDays(1), day1.addDays(1)}) {
        Clock::setFixed(moment);
        AdditionalAssetInfo info;
        Settlement(*client, journal, 900).pay(1, CardFlow(QStringLiteral("2000"), 150.0), info);
    }
    QCOMPARE(methodCalls(server, "makePay", 0),
             QStringList({"10000000015000", "10000000115000", "10000000215000", "10000000315000"}));
    QVERIFY(!journal.hasUnsettled());
}

void JournalTest::files_data()
{
    // What is at the journal's path before it is opened; the failure of
    // reading its records (-1: none), and the reversals it then holds.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("failure");
    QTest::addColumn<int>("unsettled");
    const int damaged = int(OperationJournal::Error::Kind::Damaged);
    const int unknown = int(OperationJournal::Error::Kind::UnknownText);
    QTest::newRow("nothing: made 0600") << "none" << -1 << 0;
    QTest::newRow("first layout, 0644: kept, with its queue") << "old" << -1 << 1;
    // Cut or overwritten journals have their rows in tst_moneysafety.
    QTest::newRow("empty file") << "empty" << damaged << 0;
    QTest::newRow("a log without its journal") << "wal" << damaged << 0;
    // A text no state or outcome has is never read as one, nor passed over:
    // a sound file that fails when read.
    QTest::newRow("unknown state") << "UPDATE operations SET state = 'parked'" << unknown << 0;
    QTest::newRow("unknown state past the settled")
        << "UPDATE operations SET state = 'waiting'" << unknown << 0;
    QTest::newRow("unknown outcome") << "UPDATE operations SET outcome = 'voided'" << unknown << 0;
}

void JournalTest::files()
{
    QFETCH(QString, setup);
    QFETCH(int, failure);
    QFETCH(int, unsettled);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("journal.sqlite"));
    if (setup != QLatin1String("none") && setup != QLatin1String("wal"))
        writeOldJournal(path, setup.startsWith(QLatin1String("UPDATE")) ? setup : QString());
    if (setup == QLatin1String("empty"))
        QVERIFY(QFile::resize(path, 0));
    if (setup == QLatin1String("wal")) {
        QFile wal(path + QStringLiteral("-wal"));
        QVERIFY(wal.open(QIODevice::WriteOnly));
        wal.write(QByteArray(4096, '\0'));
    }

    OperationJournal journal(path);
    try {
        QCOMPARE(journal.unsettled().size(), unsettled);
        QCOMPARE(failure, -1);
    } catch (const OperationJournal::Error &e) {
        QVERIFY2(int(e.kind()) == failure, e.what());
    }
    if (failure == int(OperationJournal::Error::Kind::Damaged)) {
        // Never replaced but by hand: the file is as it was.
        QVERIFY(
            QFile::exists(setup == QLatin1String("wal") ? path + QStringLiteral("-wal") : path));
        const QString aside = journal.moveAside();
        QVERIFY(aside.startsWith(path + QStringLiteral(".damaged-")));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(journal.unsettled().size(), 0);
    }
    // Card numbers and amounts are the owner's alone.
    struct stat info
    {
    };
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));
    // A sound journal stays where it is.
    try {
        journal.moveAside();
        QFAIL("a sound journal moved aside");
    } catch (const OperationJournal::Error &e) {
        QVERIFY2(e.kind() == OperationJournal::Error::Kind::Sound, e.what());
    }
}

QTEST_GUILESS_MAIN(JournalTest)
#include "tst_journal.moc"
