// Money under faults: payment-host and the real plug-in talk to the real
// accounting-sim through a proxy that breaks chosen calls. Whatever breaks,
// the cashier's answer must match the ledger once the till's queue has
// settled, nothing may stay pending on the server, and every wait is bounded.

#include "FaultProxy.h"
#include "HostProcess.h"
#include "MariaDbSandbox.h"
#include "SimClient.h"
#include "SimProcess.h"
#include "TempTill.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using Fault = FaultProxy::Fault;
using Rules = QList<FaultProxy::Rule>;
Q_DECLARE_METATYPE(Rules)

namespace {

const QString card = QStringLiteral("2000123456789");
const QString terminal = QStringLiteral("TILL-7");
const qint64 startBalance = 100000000; // kopecks
const QString success = QStringLiteral("Успешное выполнение операции");
const QString unavailable = QStringLiteral("Бонусный сервер не доступен");

// How the till is left before the operation.
enum Setup {
    Normal,
    NoWorkDir,
    ReadOnlyWorkDir,
    FilesElsewhere,
    FrozenDatabase,
    BusyLedger,
    // The whole till tree on a disk that is full before the run starts.
    FullDisk,
    // The till tree on a disk that fills once the commit has reached the server.
    DiskFillsDuringCommit,
    // Another connection holds the journal's write lock once the commit has
    // reached the server.
    JournalLockedDuringCommit,
    // The journal cut short, or its header overwritten.
    CutJournal,
    OverwrittenJournal
};

const QString journalFailed = QStringLiteral("Не удалось записать журнал операций");
const QString commitMethod = QStringLiteral("commitTransaction");

// A small file system of its own for a till tree, which a row fills; gone
// with the object.
class SmallDisk
{
public:
    explicit SmallDisk(const QString &path)
        : path(path)
    {
        QDir().mkpath(path);
        mounted = ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, "size=8m") == 0;
        if (!mounted)
            reason = QString::fromLocal8Bit(strerror(errno));
    }
    ~SmallDisk()
    {
        if (mounted)
            ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
    }

    // Writes until the disk takes no more.
    void fill() const
    {
        QFile filler(path + QStringLiteral("/filler"));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
        for (const int chunk : {1 << 16, 4096, 1}) {
            const QByteArray bytes(chunk, 'x');
            while (filler.write(bytes) == chunk && filler.flush()) { }
        }
    }
    void empty() const { QFile::remove(path + QStringLiteral("/filler")); }

    const QString path;
    bool mounted = false;
    QString reason;
};

struct Answer
{
    bool killed = false;
    bool success = false;
    QString message;
    int images = 0;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The largest resident size of any finished child so far.
long childPeakKb()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

} // namespace

class MoneySafetyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void faults_data();
    void faults();
    void twoHostsOnOneTill();
    void randomFaults();
    void queueSettling();

private:
    // A payment-host the proxy may kill.
    std::unique_ptr<HostProcess> startHost(const QStringList &arguments, bool asNobody = false,
                                           const QProcessEnvironment &environment
                                           = QProcessEnvironment::systemEnvironment());
    QList<Answer> finish(HostProcess &host, int timeoutMs = 120000);
    Answer run(const QStringList &arguments, bool asNobody = false);
    void writeSettings(const QJsonObject &extra = QJsonObject());
    // Recovers until the journal is empty; false when something stays.
    bool settleQueue(const QProcessEnvironment &environment
                     = QProcessEnvironment::systemEnvironment());
    // recover or check as the till's operator runs them.
    HostRun report(const QStringList &arguments);
    QString journalPath() const;
    // Runs `statement` on the journal from outside the plug-in.
    bool onJournal(const QString &statement);
    qint64 ledger();
    int pendingOnServer();
    // The plug-in's last journal record: id, operation, amount, outcome.
    QVariantList lastJournalled();

    TempTill till;
    MariaDbSandbox database;
    SimProcess sim;
    std::unique_ptr<FaultProxy> proxy;
};

void MoneySafetyTest::initTestCase()
{
    qRegisterMetaType<Rules>();
    QVERIFY2(database.start(), qPrintable(database.errorString()));
    QVERIFY2(database.addCardholder(card, QStringLiteral("1")), qPrintable(database.errorString()));
    QVERIFY2(sim.start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                        QStringLiteral("--db"), till.root() + QStringLiteral("/ledger.sqlite"),
                        QStringLiteral("--card"),
                        card + QLatin1Char('=') + QString::number(startBalance),
                        QStringLiteral("--terminal"), terminal,
                        // Well within the till's patience, for the busy ledger.
                        QStringLiteral("--request-deadline"), QStringLiteral("1"),
                        // The random run fails far more voids a minute than a till meets, and
                        // a slow (sanitized) build more still; the limit has its own rows in
                        // the server's suite, here it would only turn voids away.
                        QStringLiteral("--failure-limit"), QStringLiteral("1000000")}),
             qPrintable(sim.error()));
    proxy.reset(new FaultProxy(sim.port()));
}

void MoneySafetyTest::init()
{
    proxy->clearRules();
    writeSettings();
}

void MoneySafetyTest::writeSettings(const QJsonObject &extra)
{
    QJsonObject settings {{QStringLiteral("terminalId"), terminal},
                          {QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                          {QStringLiteral("port"), proxy->port()},
                          {QStringLiteral("connectTimeout"), 1000},
                          {QStringLiteral("recvTimeout"), 1000},
                          {QStringLiteral("sendTimeout"), 1000}};
    for (auto it = extra.begin(); it != extra.end(); ++it) {
        if (it.value().isUndefined())
            settings.remove(it.key());
        else
            settings.insert(it.key(), it.value());
    }
    till.writeSettings(settings);
}

std::unique_ptr<HostProcess> MoneySafetyTest::startHost(const QStringList &arguments, bool asNobody,
                                                        const QProcessEnvironment &environment)
{
    auto host = std::make_unique<HostProcess>(arguments, environment, asNobody);
    if (host->start())
        proxy->setHostPid(host->pid());
    return host;
}

QList<Answer> MoneySafetyTest::finish(HostProcess &host, int timeoutMs)
{
    const HostRun run = host.finish(timeoutMs);
    if (!run.err.isEmpty())
        qWarning("payment-host: %s", run.err.constData());
    QList<Answer> answers;
    for (const QJsonObject &object : run.answers()) {
        Answer answer;
        answer.success = object.value(QStringLiteral("success")).toBool();
        answer.message = object.value(QStringLiteral("message")).toString();
        answer.images = object.value(QStringLiteral("printImages")).toArray().size();
        answers << answer;
    }
    if (run.crashed) {
        Answer killed;
        killed.killed = true;
        answers << killed;
    }
    return answers;
}

Answer MoneySafetyTest::run(const QStringList &arguments, bool asNobody)
{
    return finish(*startHost(QStringList {QStringLiteral("--json")} + arguments, asNobody))
        .value(0);
}

bool MoneySafetyTest::settleQueue(const QProcessEnvironment &environment)
{
    const QJsonObject report
        = HostProcess::run({QStringLiteral("--json"), QStringLiteral("recover")}, QByteArray(),
                           environment)
              .answers()
              .value(0);
    const bool settled = report.contains(QStringLiteral("unsettled"))
        && report.value(QStringLiteral("unsettled")).toArray().isEmpty()
        && !report.contains(QStringLiteral("error"));
    if (!settled)
        qWarning("recover: %s", QJsonDocument(report).toJson(QJsonDocument::Compact).constData());
    return settled;
}

HostRun MoneySafetyTest::report(const QStringList &arguments)
{
    return HostProcess::run(QStringList {QStringLiteral("--json")} + arguments);
}

QString MoneySafetyTest::journalPath() const
{
    return till.root() + QStringLiteral("/cash/paysystems/bonuscredit/bonus_credit_journal.sqlite");
}

bool MoneySafetyTest::onJournal(const QString &statement)
{
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QStringLiteral("journal-writer"));
        db.setDatabaseName(journalPath());
        done = db.open() && QSqlQuery(db).exec(statement);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("journal-writer"));
    return done;
}

qint64 MoneySafetyTest::ledger()
{
    const SimClient::Result result
        = SimClient(sim.port()).balance(terminal.toStdString(), card.toStdString());
    return result.success ? result.balance : -1;
}

int MoneySafetyTest::pendingOnServer()
{
    int pending = -1;
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("ledger-reader"));
        db.setDatabaseName(till.root() + QStringLiteral("/ledger.sqlite"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery query(db);
        if (db.open()
            && query.exec(
                QStringLiteral("SELECT COUNT(*) FROM transactions WHERE state = 'pending'"))
            && query.next())
            pending = query.value(0).toInt();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("ledger-reader"));
    return pending;
}

QVariantList MoneySafetyTest::lastJournalled()
{
    QVariantList record {0, 0, 0, QString()};
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QStringLiteral("journal-reader"));
        db.setDatabaseName(journalPath());
        // Read-only: opening it otherwise would make an empty file where
        // the plug-in has not made its journal yet, which it takes for damage.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery query(db);
        if (db.open()
            && query.exec(QStringLiteral("SELECT id, operation, amount, outcome FROM operations"
                                         " ORDER BY id DESC LIMIT 1"))
            && query.next())
            record = {query.value(0), query.value(1), query.value(2), query.value(3)};
    }
    QSqlDatabase::removeDatabase(QStringLiteral("journal-reader"));
    return record;
}

void MoneySafetyTest::faults_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<Rules>("rules");
    QTest::addColumn<int>("setup");
    QTest::addColumn<QJsonObject>("settings");
    QTest::addColumn<bool>("killed");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("message");
    QTest::addColumn<qint64>("moved"); // on the ledger, once everything settled
    QTest::addColumn<int>("boundMs");

    const QStringList sale {QStringLiteral("sale"), QStringLiteral("30000"), card};
    const QStringList refund {QStringLiteral("refund"), QStringLiteral("30000"), card};
    const QStringList balance {QStringLiteral("balance"), card};
    const QString commit = QStringLiteral("commitTransaction");
    const QString pay = QStringLiteral("makePay");
    const QString ask = QStringLiteral("balance");
    const QJsonObject plain;
    const qint64 spent = -30000;

    QTest::newRow("sale") << sale << Rules() << int(Normal) << plain << false << true << success
                          << spent << 5000;
    // Right after a sale: its session id, answered again, would commit it
    // again instead of this one.
    QTest::newRow("makePay answered with an earlier sale's session id")
        << sale << Rules {FaultProxy::rule(pay, 1, Fault::ReplaceSession)} << int(Normal) << plain
        << false << false << QStringLiteral("Неверный ответ бонусного сервера") << 0LL << 5000;
    QTest::newRow("commit refused")
        << sale
        << Rules {FaultProxy::rule(commit, 1, Fault::Refuse, 0, QStringLiteral("Сессия истекла"))}
        << int(Normal) << plain << false << false << QStringLiteral("Сессия истекла") << 0LL
        << 5000;
    QTest::newRow("commit applied, reply lost once")
        << sale << Rules {FaultProxy::rule(commit, 1, Fault::DropReply)} << int(Normal) << plain
        << false << true << success << spent << 5000;
    QTest::newRow("commit applied, reply lost every time")
        << sale << Rules {FaultProxy::rule(commit, 0, Fault::DropReply)} << int(Normal) << plain
        << false << false << unavailable << 0LL << 8000;
    QTest::newRow("commit answered with an exception once")
        << sale << Rules {FaultProxy::rule(commit, 1, Fault::Exception, 0, QStringLiteral("сбой"))}
        << int(Normal) << plain << false << true << success << spent << 5000;
    QTest::newRow("makePay reply lost")
        << sale << Rules {FaultProxy::rule(pay, 1, Fault::DropReply)} << int(Normal) << plain
        << false << false << unavailable << 0LL << 5000;
    QTest::newRow("makePayBack reply lost")
        << refund << Rules {FaultProxy::rule(QStringLiteral("makePayBack"), 1, Fault::DropReply)}
        << int(Normal) << plain << false << false << unavailable << 0LL << 5000;
    QTest::newRow("refund, commit reply lost once")
        << refund << Rules {FaultProxy::rule(commit, 1, Fault::DropReply)} << int(Normal) << plain
        << false << true << success << 30000LL << 5000;
    QTest::newRow("balance garbled")
        << balance << Rules {FaultProxy::rule(ask, 1, Fault::Garbage)} << int(Normal) << plain
        << false << false << unavailable << 0LL << 5000;
    QTest::newRow("balance with a huge declared length")
        << balance << Rules {FaultProxy::rule(ask, 1, Fault::HugeLength)} << int(Normal) << plain
        << false << false << unavailable << 0LL << 5000;
    QTest::newRow("balance dripping")
        << balance << Rules {FaultProxy::rule(ask, 1, Fault::Drip, 200)} << int(Normal) << plain
        << false << false << unavailable << 0LL << 4000;
    QTest::newRow("commit garbled once")
        << sale << Rules {FaultProxy::rule(commit, 1, Fault::Garbage)} << int(Normal) << plain
        << false << true << success << spent << 5000;
    QTest::newRow("commit with a huge declared length every time")
        << sale << Rules {FaultProxy::rule(commit, 0, Fault::HugeLength)} << int(Normal) << plain
        << false << false << unavailable << 0LL << 8000;
    QTest::newRow("commit dripping every time")
        << sale << Rules {FaultProxy::rule(commit, 0, Fault::Drip, 200)} << int(Normal) << plain
        << false << false << unavailable << 0LL << 8000;
    QTest::newRow("host killed after makePay's reply")
        << sale << Rules {FaultProxy::rule(pay, 1, Fault::KillHost)} << int(Normal) << plain << true
        << false << QString() << 0LL << 5000;
    QTest::newRow("host killed after the commit was sent")
        << sale << Rules {FaultProxy::rule(commit, 1, Fault::KillHostBeforeReply)} << int(Normal)
        << plain << true << false << QString() << 0LL << 5000;
    QTest::newRow("fresh till without its work directory")
        << sale << Rules() << int(NoWorkDir) << plain << false << true << success << spent << 5000;
    QTest::newRow("read-only work directory with an old success in it")
        << sale << Rules() << int(ReadOnlyWorkDir) << plain << false << false
        << QStringLiteral("Не удалось записать файл статуса операции") << 0LL << 5000;
    QTest::newRow("status and print files set elsewhere")
        << sale << Rules() << int(FilesElsewhere) << plain << false << true << success << spent
        << 5000;
    QTest::newRow("most negative widthPrint")
        << sale << Rules() << int(Normal)
        << QJsonObject {{QStringLiteral("widthPrint"), qint64(INT_MIN)}} << false << true << success
        << spent << 5000;
    QTest::newRow("most positive widthPrint")
        << sale << Rules() << int(Normal)
        << QJsonObject {{QStringLiteral("widthPrint"), qint64(INT_MAX)}} << false << false
        << QStringLiteral("Ошибка в файле настроек") << 0LL << 5000;
    QTest::newRow("MariaDB frozen")
        << balance << Rules() << int(FrozenDatabase) << plain << false << false
        << QStringLiteral("Не удалось подключиться к БД") << 0LL << 12000;
    // The server gives up on its ledger and says so, as no answer, not a
    // refusal; the till's reversal by its own id settles it once the lock is gone.
    QTest::newRow("ledger's write lock held past the server's deadline")
        << sale << Rules() << int(BusyLedger) << QJsonObject {{QStringLiteral("recvTimeout"), 3000}}
        << false << false << unavailable << 0LL << 8000;
    // A refusal of a void is asked again: the void of a commit that was
    // applied, and of a refund's.
    const auto refusedOnce
        = FaultProxy::rule(QStringLiteral("rollbackTransaction"), 1, Fault::Refuse, 0,
                           QStringLiteral("Ошибка базы данных сервера"));
    QTest::newRow("commit applied, reply lost every time, its void refused once")
        << sale << Rules {FaultProxy::rule(commit, 0, Fault::DropReply), refusedOnce} << int(Normal)
        << plain << false << false << unavailable << 0LL << 8000;
    QTest::newRow("refund, commit reply lost every time, its void refused once")
        << refund << Rules {FaultProxy::rule(commit, 0, Fault::DropReply), refusedOnce}
        << int(Normal) << plain << false << false << unavailable << 0LL << 8000;
    // A session id that cannot be used is never committed by: the payment
    // is voided by the till's own id.
    const QString badAnswer = QStringLiteral("Неверный ответ бонусного сервера");
    QTest::newRow("makePay answered with a 1,000,000-character session id")
        << sale
        << Rules {FaultProxy::rule(pay, 1, Fault::ReplaceSession, 0,
                                   QString(1000000, QLatin1Char('7')))}
        << int(Normal) << plain << false << false << badAnswer << 0LL << 5000;
    // The disk: nothing from logging escapes, and a commit the journal
    // cannot hold is voided, never told as a success.
    QTest::newRow("the whole till tree on a full disk")
        << sale << Rules() << int(FullDisk) << plain << false << false << journalFailed << 0LL
        << 8000;
    QTest::newRow("the disk fills while the commit is held")
        << sale << Rules {FaultProxy::rule(commit, 1, Fault::DelayReply, 1500)}
        << int(DiskFillsDuringCommit) << QJsonObject {{QStringLiteral("recvTimeout"), 5000}}
        << false << true << success << spent << 8000;
    QTest::newRow("the journal locked while the commit is held")
        << sale << Rules {FaultProxy::rule(commit, 1, Fault::DelayReply, 1500)}
        << int(JournalLockedDuringCommit) << QJsonObject {{QStringLiteral("recvTimeout"), 5000}}
        << false << false << journalFailed << 0LL << 20000;
    // A damaged journal refuses every payment before it is sent.
    QTest::newRow("journal cut short") << sale << Rules() << int(CutJournal) << plain << false
                                       << false << journalFailed << 0LL << 5000;
    QTest::newRow("journal header overwritten")
        << sale << Rules() << int(OverwrittenJournal) << plain << false << false << journalFailed
        << 0LL << 5000;
    QTest::newRow("limits left out, silent server")
        // Held well past the default receive limit (15 s), so a loaded machine's slack never
        // lets the reply through first.
        << balance << Rules {FaultProxy::rule(ask, 1, Fault::HoldReply, 25000)} << int(Normal)
        << QJsonObject {{QStringLiteral("connectTimeout"), QJsonValue::Undefined},
                        {QStringLiteral("recvTimeout"), 0},
                        {QStringLiteral("sendTimeout"), QJsonValue::Undefined}}
        << false << false << unavailable << 0LL << 25000;
}

void MoneySafetyTest::faults()
{
    QFETCH(QStringList, command);
    QFETCH(Rules, rules);
    QFETCH(int, setup);
    QFETCH(QJsonObject, settings);
    QFETCH(bool, killed);
    QFETCH(bool, succeeds);
    QFETCH(QString, message);
    QFETCH(qint64, moved);
    QFETCH(int, boundMs);

    const QString workDir = till.root() + QStringLiteral("/cash/paysystems/bonuscredit");
    const QString elsewhere = till.root() + QStringLiteral("/elsewhere");
    // The till tree on a small disk of its own, for the rows that fill one.
    const bool onSmallDisk = setup == FullDisk || setup == DiskFillsDuringCommit;
    std::unique_ptr<SmallDisk> disk;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (onSmallDisk) {
        disk.reset(new SmallDisk(till.root() + QStringLiteral("/disk")));
        if (!disk->mounted)
            QSKIP(qPrintable(QStringLiteral("no tmpfs to fill: ") + disk->reason));
        environment.insert(QStringLiteral("TILLHOUSE_ROOT"), disk->path);
        command << QStringLiteral("--no-receipt");
    }
    if (setup == CutJournal || setup == OverwrittenJournal) {
        // Whatever the log holds is in the file first, so that the damage
        // cannot hide behind it.
        QVERIFY(onJournal(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")));
        QFile journal(journalPath());
        QVERIFY(journal.open(QIODevice::ReadWrite));
        if (setup == CutJournal)
            QVERIFY(journal.resize(journal.size() / 2));
        else
            journal.write(QByteArray(100, 'x'));
    }
    if (setup == NoWorkDir)
        QVERIFY(QDir(workDir).removeRecursively());
    if (setup == FilesElsewhere)
        settings.insert(QStringLiteral("statusFile"), elsewhere + QStringLiteral("/status.json"));
    if (setup == FilesElsewhere)
        settings.insert(QStringLiteral("printFile"), elsewhere + QStringLiteral("/slip.txt"));
    writeSettings(settings);
    if (onSmallDisk) {
        till.writeCheckImage({{QStringLiteral("num"), 1},
                              {QStringLiteral("cashCode"), QStringLiteral("1")},
                              {QStringLiteral("cashierCode"), QStringLiteral("1")}});
        for (const char *file : {"cash/conf/bonus_credit.conf", "cash/data/tmp/check.img"}) {
            const QString to = disk->path + QLatin1Char('/') + QLatin1String(file);
            QDir().mkpath(QFileInfo(to).absolutePath());
            QVERIFY(QFile::copy(till.root() + QLatin1Char('/') + QLatin1String(file), to));
        }
        if (setup == FullDisk)
            disk->fill();
    }
    if (setup == ReadOnlyWorkDir) {
        TempTill::writeFile(workDir + QStringLiteral("/status.txt"),
                            R"({ "status" : 0, "description" : "old", "cardNumber" : "" })");
        QFile::setPermissions(till.root(),
                              QFile::permissions(till.root()) | QFile::ExeOther | QFile::ReadOther);
        QFile::setPermissions(
            workDir, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    }
    const qint64 mariadbPid
        = QString::fromLatin1(readFile(database.directory() + QStringLiteral("/mariadbd.pid")))
              .trimmed()
              .toLongLong();
    if (setup == FrozenDatabase)
        QVERIFY(mariadbPid > 0 && ::kill(pid_t(mariadbPid), SIGSTOP) == 0);
    // Another process on the ledger, a backup say, holding its write lock.
    QSqlDatabase busy;
    if (setup == BusyLedger) {
        busy = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("busy"));
        busy.setDatabaseName(till.root() + QStringLiteral("/ledger.sqlite"));
        QVERIFY(busy.open() && QSqlQuery(busy).exec(QStringLiteral("BEGIN IMMEDIATE")));
    }

    for (const FaultProxy::Rule &r : rules)
        proxy->addRule(r);
    const qint64 before = ledger();
    QVERIFY(before > 0);

    QElapsedTimer clock;
    clock.start();
    const auto host = startHost(QStringList {QStringLiteral("--json")} + command,
                                setup == ReadOnlyWorkDir, environment);
    // Once the commit has reached the server: the disk fills, or another
    // connection takes the journal's write lock until the run is over.
    QSqlDatabase locker;
    if (setup == DiskFillsDuringCommit || setup == JournalLockedDuringCommit)
        QTRY_VERIFY(proxy->count(commitMethod) >= 1);
    if (setup == DiskFillsDuringCommit)
        disk->fill();
    if (setup == JournalLockedDuringCommit) {
        locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
        locker.setDatabaseName(journalPath());
        QVERIFY(locker.open() && QSqlQuery(locker).exec(QStringLiteral("BEGIN IMMEDIATE")));
    }
    const Answer answer = finish(*host).value(0);
    const qint64 elapsed = clock.elapsed();
    if (locker.isOpen()) {
        QSqlQuery(locker).exec(QStringLiteral("ROLLBACK"));
        locker.close();
    }
    locker = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("locker"));
    if (disk)
        disk->empty();

    if (setup == FrozenDatabase)
        ::kill(pid_t(mariadbPid), SIGCONT);
    if (setup == BusyLedger) {
        QSqlQuery(busy).exec(QStringLiteral("ROLLBACK"));
        busy.close();
        busy = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("busy"));
    }
    if (setup == ReadOnlyWorkDir)
        QFile::setPermissions(workDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    proxy->clearRules();

    // What the cashier saw, and how long it took.
    QCOMPARE(answer.killed, killed);
    if (!killed) {
        QCOMPARE(answer.message, message);
        QCOMPARE(answer.success, succeeds);
        // A slip once and again for a payment; none after a failure, but for
        // a database or a journal that failed before anything else, which
        // leaves the emptied print file (one image for a balance).
        const bool payment = command.first() != QLatin1String("balance");
        const bool beforeAnything = setup == FrozenDatabase || setup == FullDisk
            || setup == CutJournal || setup == OverwrittenJournal;
        QCOMPARE(answer.images, succeeds || beforeAnything ? (payment ? 2 : 1) : 0);
    }
    QVERIFY2(elapsed < boundMs, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
    // No reply, however broken, makes the till allocate without bound.
    QVERIFY2(childPeakKb() < 512 * 1024, qPrintable(QString::number(childPeakKb())));

    if (setup == CutJournal || setup == OverwrittenJournal) {
        // Nothing was sent; recover and check say why, and only an explicit
        // reset moves the damaged file aside.
        QCOMPARE(proxy->count(QStringLiteral("makePay")), 0);
        const HostRun recovered = report({QStringLiteral("recover")});
        QCOMPARE(recovered.exitCode, 1);
        QVERIFY2(recovered.answers()
                     .value(0)
                     .value(QStringLiteral("error"))
                     .toString()
                     .contains(QStringLiteral("damaged")),
                 recovered.out.constData());
        const HostRun checked = report({QStringLiteral("check")});
        QCOMPARE(checked.exitCode, 1);
        QVERIFY2(checked.out.contains(R"({"id":"journal","name":"journal","ok":false)"),
                 checked.out.constData());
        QVERIFY(QFile::exists(journalPath()));
        const HostRun reset
            = report({QStringLiteral("recover"), QStringLiteral("--reset-journal")});
        QCOMPARE(reset.exitCode, 0);
        const QString aside = reset.answers().value(0).value(QStringLiteral("movedTo")).toString();
        QVERIFY2(aside.startsWith(journalPath() + QStringLiteral(".damaged-")),
                 reset.out.constData());
        QVERIFY(QFile::exists(aside));
    }

    // The ledger, once the till's queue has settled.
    QVERIFY(settleQueue(environment));
    QCOMPARE(ledger() - before, moved);
    QCOMPARE(pendingOnServer(), 0);
    if (setup == FilesElsewhere)
        QVERIFY(readFile(elsewhere + QStringLiteral("/slip.txt")).contains("ОПЛАТА"));
}

void MoneySafetyTest::twoHostsOnOneTill()
{
    // Two hosts share one till tree: every answer must be its own, and the
    // ledger must move by exactly the sums the cashiers were told.
    const int perHost = 200;
    const qint64 before = ledger();
    QByteArray sales;
    QByteArray refunds;
    for (int i = 0; i < perHost; ++i) {
        // Every other sale asks more than the card holds and must fail.
        sales
            += "sale " + QByteArray::number(i % 2 ? 100 : 2000000000) + ' ' + card.toUtf8() + '\n';
        refunds += (i % 2 ? "refund 100 " : "balance ") + card.toUtf8() + '\n';
    }
    const auto first = startHost({QStringLiteral("--json"), QStringLiteral("-")});
    const auto second = startHost({QStringLiteral("--json"), QStringLiteral("-")});
    first->write(sales);
    second->write(refunds);
    const QList<Answer> saleAnswers = finish(*first, 300000);
    const QList<Answer> refundAnswers = finish(*second, 300000);
    QCOMPARE(saleAnswers.size(), perHost);
    QCOMPARE(refundAnswers.size(), perHost);

    qint64 told = 0;
    for (int i = 0; i < perHost; ++i) {
        const Answer &sale = saleAnswers.at(i);
        QCOMPARE(sale.success, i % 2 == 1);
        if (sale.success)
            told -= 100;
        else
            QVERIFY2(sale.message.startsWith(QStringLiteral("Для оплаты доступно")),
                     qPrintable(sale.message));
        const Answer &other = refundAnswers.at(i);
        if (i % 2 == 0) {
            QVERIFY2(other.success && other.message.startsWith(QStringLiteral("Баланс карты: ")),
                     qPrintable(other.message));
        } else if (other.success) {
            QCOMPARE(other.message, success);
            told += 100;
        }
    }
    QVERIFY(settleQueue());
    QCOMPARE(ledger() - before, told);
    QCOMPARE(pendingOnServer(), 0);
}

void MoneySafetyTest::randomFaults()
{
    // Faults at random over many operations (fewer under the sanitizers,
    // which run the same code slower): the ledger ends equal to the sum of
    // the answers the cashier saw, with nothing pending.
    const int operations = qEnvironmentVariableIntValue("BONUS_RANDOM_OPERATIONS") > 0
        ? qEnvironmentVariableIntValue("BONUS_RANDOM_OPERATIONS")
        : 1000;
    // A fixed seed, so that a failure replays; BONUS_RANDOM_SEED replays
    // another run, and BONUS_RANDOM_CLOCK_SEED (the nightly run) draws a new
    // one each time.
    const quint32 seed = qEnvironmentVariableIsSet("BONUS_RANDOM_SEED")
        ? quint32(qEnvironmentVariableIntValue("BONUS_RANDOM_SEED"))
        : qEnvironmentVariableIsSet("BONUS_RANDOM_CLOCK_SEED")
        ? quint32(QDateTime::currentMSecsSinceEpoch())
        : 20261209u;
    qInfo("seed %u, %d operations", seed, operations);
    // A window longer than the run: a refusal the proxy makes up is never
    // taken for "nothing there".
    writeSettings({{QStringLiteral("connectTimeout"), 300},
                   {QStringLiteral("recvTimeout"), 300},
                   {QStringLiteral("sendTimeout"), 300},
                   {QStringLiteral("reversalWindow"), 3600}});
    // No other Refuse: the proxy's refusal of a payment or a commit would be
    // a lie the server never told. A void refused now and then, as a busy
    // server refuses it, is asked again later.
    FaultProxy::Rule refusedVoid
        = FaultProxy::rule(QStringLiteral("rollbackTransaction"), 0, Fault::Refuse, 0,
                           QStringLiteral("Ошибка базы данных сервера"));
    refusedVoid.probability = 0.3;
    proxy->addRule(refusedVoid);
    proxy->setRandomFaults(seed, 0.05,
                           {Fault::DropReply, Fault::HoldReply, Fault::Drip, Fault::Garbage,
                            Fault::HugeLength, Fault::Exception, Fault::KillHost,
                            Fault::KillHostBeforeReply},
                           100);
    // Now and then another connection holds the ledger's write lock, as a
    // backup would: shorter than the server's deadline, so that a payment
    // lands after its till gave up, or longer, so that the server answers
    // that it cannot tell.
    std::atomic<bool> stopHolding {false};
    std::atomic<int> held {0};
    std::thread holder([&, ledgerPath = till.root() + QStringLiteral("/ledger.sqlite")] {
        const QString name = QStringLiteral("ledger-holder");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(ledgerPath);
            QRandomGenerator random(seed);
            // Waits `ms`, or less when the run is over.
            const auto pause = [&stopHolding](int ms) {
                QElapsedTimer clock;
                clock.start();
                while (!stopHolding && clock.elapsed() < ms)
                    QThread::msleep(20);
                return !stopHolding;
            };
            while (db.open() && pause(1000 + random.bounded(3000))) {
                QSqlQuery hold(db);
                if (hold.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
                    ++held;
                    pause(200 + random.bounded(1300));
                    hold.exec(QStringLiteral("ROLLBACK"));
                }
            }
        }
        QSqlDatabase::removeDatabase(name);
    });
    QRandomGenerator random(seed);
    const qint64 before = ledger();
    qint64 told = 0;
    int done = 0;
    while (done < operations) {
        const qint64 before = lastJournalled().value(0).toLongLong();
        const auto host = startHost({QStringLiteral("--json"), QStringLiteral("-")});
        QList<qint64> deltas;
        QList<QPair<int, qint64>> kinds; // journal operation code and amount
        QByteArray input;
        for (int i = done; i < operations; ++i) {
            const int kind = random.bounded(3);
            const qint64 amount = 100 + random.bounded(5000);
            input += (kind == 0       ? "sale "
                          : kind == 1 ? "refund "
                                      : "balance ")
                + (kind == 2 ? QByteArray() : QByteArray::number(amount) + ' ') + card.toUtf8()
                + '\n';
            deltas << (kind == 0 ? -amount : kind == 1 ? amount : 0);
            kinds << qMakePair(kind == 0 ? 1 : kind == 1 ? 2 : 5, amount);
        }
        host->write(input);
        const QList<Answer> answers = finish(*host, 600000);
        for (int i = 0; i < answers.size(); ++i) {
            if (!answers.at(i).killed && answers.at(i).success)
                told += deltas.at(i);
        }
        // A host killed once the plug-in had journalled the commit (from
        // then on its answer is success) but before it printed the answer.
        // Killed any earlier, nothing may have moved.
        if (!answers.isEmpty() && answers.last().killed) {
            const QVariantList last = lastJournalled();
            const int killed = answers.size() - 1;
            if (last.value(0).toLongLong() > before
                && last.value(1).toInt() == kinds.at(killed).first
                && last.value(2).toLongLong() == kinds.at(killed).second
                && last.value(3).toString() == QLatin1String("committed"))
                told += deltas.at(killed);
        }
        // A killed host leaves its operation to the queue; the next host goes
        // on with the rest.
        done += answers.size();
        QVERIFY(!answers.isEmpty());
    }
    stopHolding = true;
    holder.join();
    int refusedVoids = 0;
    for (const FaultProxy::Seen &call : proxy->seen())
        refusedVoids += call.fault == Fault::Refuse ? 1 : 0;
    qInfo("the ledger held %d times, %d voids refused", int(held), refusedVoids);
    proxy->setRandomFaults(seed, 0, {});
    proxy->clearRules();
    QVERIFY(settleQueue());
    QCOMPARE(ledger() - before, told);
    QCOMPARE(pendingOnServer(), 0);
}

void MoneySafetyTest::queueSettling()
{
    // Reversals left by earlier runs, as a killed or cut-off run leaves them,
    // and two settled records of 31 and 29 days.
    const QString path
        = till.root() + QStringLiteral("/cash/paysystems/bonuscredit/bonus_credit_journal.sqlite");
    QVERIFY(run({QStringLiteral("balance"), card}).success); // the journal exists
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QStringLiteral("journal-writer"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery insert(db);
        for (int i = 0; i < 5; ++i)
            QVERIFY(insert.exec(
                QStringLiteral(
                    "INSERT INTO operations (transaction_id, terminal_id, card_number, operation,"
                    " amount, created_at, state) VALUES ('09150712300%1', 'TILL-7', '%2', 1, 100,"
                    " '2026-01-01T00:00:00.000Z', 'sent')")
                    .arg(i)
                    .arg(card)));
        for (int days : {31, 29})
            QVERIFY(insert.exec(
                QStringLiteral("INSERT INTO operations (transaction_id, terminal_id, card_number,"
                               " operation, amount, created_at, state, outcome, settled_at)"
                               " VALUES ('old-%1', 'TILL-7', '%2', 1, 100, '%3', 'settled',"
                               " 'committed', '%3')")
                    .arg(days)
                    .arg(card,
                         QDateTime::currentDateTimeUtc().addDays(-days).toString(
                             Qt::ISODateWithMs))));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("journal-writer"));

    // The server holds every rollback: the cashier's next operation spends
    // one connect limit on the queue and leaves the rest of it for later,
    // rather than wait on each of the five in turn.
    proxy->addRule(
        FaultProxy::rule(QStringLiteral("rollbackTransaction"), 0, Fault::HoldReply, 5000));
    QVERIFY(run({QStringLiteral("balance"), card}).success);
    const int tried = proxy->count(QStringLiteral("rollbackTransaction"));
    QVERIFY2(tried >= 1 && tried < 5, qPrintable(QString::number(tried)));
    proxy->clearRules();

    // One record whose rollback fails does not hold up the others; it stays
    // listed with its attempts and its last error.
    proxy->addRule(FaultProxy::rule(QStringLiteral("rollbackTransaction"), 1, Fault::DropReply));
    QJsonObject report = HostProcess::run({QStringLiteral("--json"), QStringLiteral("recover")})
                             .answers()
                             .value(0);
    const QJsonArray unsettled = report.value(QStringLiteral("unsettled")).toArray();
    QCOMPARE(report.value(QStringLiteral("settled")).toArray().size(), 4);
    QCOMPARE(unsettled.size(), 1);
    QVERIFY(unsettled.at(0).toObject().value(QStringLiteral("attempts")).toInt() >= 1);
    QCOMPARE(unsettled.at(0).toObject().value(QStringLiteral("lastError")).toString(), unavailable);
    proxy->clearRules();
    QVERIFY(settleQueue());

    // Settled records go after 30 days, not before.
    QSqlDatabase db
        = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("journal-reader"));
    db.setDatabaseName(path);
    QVERIFY(db.open());
    QSqlQuery old(db);
    QVERIFY(old.exec(
        QStringLiteral("SELECT transaction_id FROM operations WHERE transaction_id LIKE 'old-%'")));
    QStringList kept;
    while (old.next())
        kept << old.value(0).toString();
    QCOMPARE(kept, QStringList({QStringLiteral("old-29")}));
    old = QSqlQuery();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("journal-reader"));
}

QTEST_GUILESS_MAIN(MoneySafetyTest)
#include "tst_moneysafety.moc"
