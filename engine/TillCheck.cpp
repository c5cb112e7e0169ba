#include "TillCheck.h"

#include "BonusCreditException.h"
#include "BonusSettings.h"
#include "CardNumberMask.h"
#include "Clock.h"
#include "LogSetup.h"
#include "OperationJournal.h"
#include "ReceiptImage.h"
#include "ReversalRule.h"
#include "ServerProbe.h"
#include "TillDatabase.h"
#include "TillPaths.h"
#include "VeltaBonusClientThrift.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>

#include <memory>

namespace {

// Paths as people read them: no doubled or trailing slashes.
QString shown(const QString &path)
{
    return QDir::cleanPath(path);
}

QString roubles(qint64 kopecks)
{
    return QStringLiteral("%1.%2")
        .arg(kopecks / 100)
        .arg(qAbs(kopecks % 100), 2, 10, QLatin1Char('0'));
}

// What keeps a file from being made or written in `directory`, or empty.
// Proven by writing, not by asking access(): the answer must hold for root
// on a read-only mount too. The probe is a temporary file, removed at once.
QString unwritableDirectory(const QString &directory)
{
    if (!QFileInfo(directory).isDir())
        return QStringLiteral("missing: ") + shown(directory);
    QTemporaryFile probe(directory + QStringLiteral("/.bonus_credit_check.XXXXXX"));
    if (!probe.open())
        return QStringLiteral("cannot write in %1: %2").arg(shown(directory), probe.errorString());
    return QString();
}

// The same for a file: its directory must take a new file, and the file,
// when it is there, must open for appending, which leaves it as it was.
QString unwritableFile(const QString &path)
{
    const QFileInfo info(path);
    const QString directory = unwritableDirectory(info.absolutePath());
    if (!directory.isEmpty())
        return QStringLiteral("directory ") + directory;
    if (!info.exists())
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return QStringLiteral("cannot write %1: %2").arg(shown(path), file.errorString());
    return QString();
}

} // namespace

TillCheck::TillCheck(TillDatabase &database, OperationJournal &journal)
    : database(database)
    , journal(journal)
{
}

QByteArray TillCheck::run(const QString &cardNumber, bool fullCardNumbers)
{
    rows = QJsonArray();
    allOk = true;
    this->fullCardNumbers = fullCardNumbers;

    const QString root = TillPaths::root();
    const QString whence = qEnvironmentVariableIsEmpty(TillPaths::rootVariable())
        ? QStringLiteral(" (the default)")
        : QStringLiteral(" (from %1)").arg(QLatin1String(TillPaths::rootVariable()));
    const bool rootThere = QFileInfo(root).isDir();
    row(QStringLiteral("root"), QStringLiteral("till root"), rootThere,
        (rootThere ? QString() : QStringLiteral("missing: ")) + shown(root) + whence);

    const QString settingsPath = TillPaths::settingsFile();
    const BonusSettings settings = BonusSettings::read(settingsPath);
    checkSettings(settings, settingsPath);
    // The check's own log lines follow the settings, as a run's do.
    if (settings.isUsable())
        CardNumberMask::setLogMasked(settings.masksCardNumbers());

    if (settings.hasTls() && settings.isUsable()) {
        const QString serverName = settings.tls().serverName;
        row(QStringLiteral("tls"), QStringLiteral("TLS"),
            serverName.isEmpty() ? Verdict::Warn : Verdict::Ok,
            serverName.isEmpty() ? QStringLiteral("TLS server name not checked: any certificate "
                                                  "from the CA can pose as the server")
                                 : QStringLiteral("server certificates must carry ") + serverName);
    }

    const QString workDir = TillPaths::workDir();
    const QString workProblem = unwritableDirectory(workDir);
    row(QStringLiteral("workDir"), QStringLiteral("work directory"), workProblem.isEmpty(),
        workProblem.isEmpty() ? shown(workDir) : workProblem);
    const auto orDefault = [&settings](const char *key, const QString &fallback) {
        const QString path = settings.text(QLatin1String(key));
        return path.isEmpty() ? fallback : path;
    };
    checkFile(QStringLiteral("statusFile"), QStringLiteral("status file"),
              orDefault("statusFile", TillPaths::statusFile()));
    checkFile(QStringLiteral("printFile"), QStringLiteral("print file"),
              orDefault("printFile", TillPaths::printFile()));

    checkJournal();
    checkLog();
    checkDatabase(settings, cardNumber);
    if (settings.state() == BonusSettings::State::Read)
        checkServers(settings, cardNumber);

    return QJsonDocument(
               QJsonObject {{QStringLiteral("ok"), allOk}, {QStringLiteral("rows"), rows}})
        .toJson(QJsonDocument::Compact);
}

void TillCheck::row(const QString &id, const QString &name, bool ok, const QString &reason)
{
    row(id, name, ok ? Verdict::Ok : Verdict::Fail, reason);
}

void TillCheck::row(const QString &id, const QString &name, Verdict verdict, const QString &reason)
{
    static const char *const states[] = {"ok", "warn", "fail"};
    // A warning leaves the till working: "ok" stays true for it.
    const bool ok = verdict != Verdict::Fail;
    allOk = allOk && ok;
    rows.append(QJsonObject {{QStringLiteral("id"), id},
                             {QStringLiteral("name"), name},
                             {QStringLiteral("ok"), ok},
                             {QStringLiteral("state"), QLatin1String(states[int(verdict)])},
                             {QStringLiteral("reason"), reason}});
}

QString TillCheck::card(const QString &number) const
{
    return fullCardNumbers ? number : CardNumberMask::masked(number);
}

void TillCheck::checkSettings(const BonusSettings &settings, const QString &path)
{
    const QString id = QStringLiteral("settings");
    switch (settings.state()) {
    case BonusSettings::State::Missing:
        row(id, id, false, QStringLiteral("missing: ") + shown(path));
        return;
    case BonusSettings::State::Unreadable:
        row(id, id, false, QStringLiteral("cannot be read: ") + shown(path));
        return;
    case BonusSettings::State::TooLarge:
        row(id, id, false, settings.problems().join(QStringLiteral("; ")));
        return;
    case BonusSettings::State::NotJson:
        row(id, id, false, QStringLiteral("not JSON: ") + shown(path));
        return;
    case BonusSettings::State::Read:
        break;
    }
    QStringList problems = settings.problems();
    const QHash<QString, QString> unknown = settings.unknownKeys();
    for (auto it = unknown.cbegin(); it != unknown.cend(); ++it)
        problems << QStringLiteral("unknown key \"%1\" (did you mean \"%2\"?)")
                        .arg(it.key(), it.value());
    problems.sort();
    row(id, id, problems.isEmpty(),
        problems.isEmpty() ? shown(path) : problems.join(QStringLiteral("; ")));
}

void TillCheck::checkFile(const QString &id, const QString &name, const QString &path)
{
    const QString problem = unwritableFile(path);
    row(id, name, problem.isEmpty(), problem.isEmpty() ? shown(path) : problem);
}

void TillCheck::checkJournal()
{
    const QString id = QStringLiteral("journal");
    const QString path = journal.path();
    // A write-ahead log without its journal is damage, which opening it
    // reports; with neither, the first payment makes the journal.
    if (!QFileInfo::exists(path) && !QFileInfo::exists(path + QStringLiteral("-wal"))) {
        const bool directoryThere = QFileInfo(QFileInfo(path).absolutePath()).isDir();
        row(id, id, directoryThere ? Verdict::Warn : Verdict::Fail,
            (directoryThere ? QStringLiteral("not made yet (the first payment makes it): ")
                            : QStringLiteral("missing, and its directory too: "))
                + shown(path));
        return;
    }
    QList<OperationJournal::Record> unsettled;
    try {
        unsettled = journal.unsettled();
    } catch (const OperationJournal::Error &e) {
        row(id, id, false, QString::fromUtf8(e.what()));
        return;
    }
    row(id, id, true, shown(path));
    // Reversals still being asked, and those a person must look at.
    QStringList pending;
    QStringList attention;
    const QDateTime now = Clock::currentDateTimeUtc();
    for (const OperationJournal::Record &record : unsettled) {
        const bool needsAttention = record.state == OperationJournal::State::Attention;
        QString line = QStringLiteral("%1: card %2, %3 roubles, %4 attempts")
                           .arg(ReversalRule::idOf(record, now), card(record.cardNumber),
                                roubles(record.amount), QString::number(record.attempts));
        if (!record.lastError.isEmpty())
            line += QStringLiteral(", last error \"%1\"").arg(record.lastError);
        if (needsAttention)
            line += QStringLiteral(" (payment-host recover --forget %1)").arg(record.id);
        (needsAttention ? attention : pending) << line;
    }
    row(QStringLiteral("unsettled"), QStringLiteral("unsettled reversals"), pending.isEmpty(),
        pending.isEmpty() ? QStringLiteral("none") : pending.join(QStringLiteral("; ")));
    row(QStringLiteral("attention"), QStringLiteral("records to look at"), attention.isEmpty(),
        attention.isEmpty() ? QStringLiteral("none") : attention.join(QStringLiteral("; ")));
}

void TillCheck::checkLog()
{
    // What this process could not write to its log, this check's own lines
    // included.
    LogSetup::flush();
    QStringList places;
    QStringList problems;
    for (const QString &file : LogSetup::files()) {
        places << shown(file);
        const QString problem = unwritableFile(file);
        if (!problem.isEmpty())
            problems << problem;
    }
    if (LogSetup::writesElsewhere())
        places << QStringLiteral("the host's own appenders");
    const int lost = LogSetup::failures();
    if (lost > 0)
        problems << QStringLiteral("%1 lines lost, the last because of: %2")
                        .arg(QString::number(lost), LogSetup::lastFailure());
    if (places.isEmpty()) {
        // Logging is off when there is no till tree and no configuration.
        row(QStringLiteral("log"), QStringLiteral("log"), false,
            QStringLiteral("nowhere: the plug-in logs nothing (no %1 and no %2)")
                .arg(shown(TillPaths::root() + QStringLiteral("/cash")),
                     shown(TillPaths::logConfigFile())));
        return;
    }
    row(QStringLiteral("log"), QStringLiteral("log"), problems.isEmpty(),
        places.join(QStringLiteral(", "))
            + (problems.isEmpty() ? QString()
                                  : QStringLiteral(": ") + problems.join(QStringLiteral("; "))));
}

void TillCheck::checkDatabase(const BonusSettings &settings, const QString &cardNumber)
{
    if (!database.open()) {
        row(QStringLiteral("database"), QStringLiteral("database"), false,
            QStringLiteral("cannot connect: ") + database.lastError());
        return;
    }
    row(QStringLiteral("database"), QStringLiteral("database"), true, database.databaseName());

    const QStringList tables = database.tables();
    QStringList missing;
    for (const QString &table :
         {QStringLiteral("card"), QStringLiteral("client"), QStringLiteral("mol")}) {
        if (!tables.contains(table))
            missing << table;
    }
    row(QStringLiteral("tables"), QStringLiteral("tables"), missing.isEmpty(),
        missing.isEmpty() ? tables.join(QStringLiteral(", "))
                          : QStringLiteral("missing: ") + missing.join(QStringLiteral(", ")));
    if (cardNumber.isEmpty() || !missing.isEmpty())
        return;

    TillDatabase::Card found {cardNumber, QString(), QString()};
    try {
        database.findCard(found, settings.text(QStringLiteral("regexPattern")),
                          settings.text(QStringLiteral("regexRule")));
        row(QStringLiteral("card"), QStringLiteral("card"), true,
            QStringLiteral("%1 (idcard %2)").arg(card(found.number), found.id));
        row(QStringLiteral("client"), QStringLiteral("client"), true, found.clientName);
    } catch (const std::exception &e) {
        const QString text = QString::fromUtf8(e.what());
        const auto *failure = dynamic_cast<const BonusCreditException *>(&e);
        const bool cardFound
            = !failure || failure->kind() != BonusCreditException::Kind::CardNotFound;
        row(QStringLiteral("card"), QStringLiteral("card"), cardFound,
            cardFound ? card(found.number) : text);
        if (cardFound)
            row(QStringLiteral("client"), QStringLiteral("client"), false, text);
    }

    // The cashier of the receipt the till wrote last, if there is one.
    if (!QFileInfo(TillPaths::checkImage()).isFile())
        return;
    const ReceiptImage image = ReceiptImage::read(TillPaths::checkImage());
    try {
        row(QStringLiteral("cashier"), QStringLiteral("cashier"), true,
            database.findCashier(image.cashierCode()));
    } catch (const std::exception &e) {
        row(QStringLiteral("cashier"), QStringLiteral("cashier"), false,
            QString::fromUtf8(e.what()));
    }
}

void TillCheck::checkServers(const BonusSettings &settings, const QString &cardNumber)
{
    std::unique_ptr<VeltaBonusClientThrift> client;
    try {
        client.reset(new VeltaBonusClientThrift(settings, nullptr));
    } catch (const std::exception &e) {
        row(QStringLiteral("servers"), QStringLiteral("servers"), false,
            QString::fromUtf8(e.what()));
        return;
    }
    const QStringList servers = client->servers();
    if (servers.isEmpty())
        row(QStringLiteral("servers"), QStringLiteral("servers"), false,
            QStringLiteral("none in the settings"));
    // Without a card of its own, a card no server issues: the answer shows
    // whether the terminal is served without touching anyone's balance.
    const QString asked = cardNumber.isEmpty() ? ServerProbe::absentCard() : cardNumber;
    for (int i = 0; i < servers.size(); ++i) {
        const ServerProbe probe = client->probe(i, asked);
        const QString where
            = probe.server() + (client->usesTls() ? QStringLiteral(", TLS") : QString());
        bool ok = false;
        QString reason;
        switch (probe.outcome()) {
        case ServerProbe::Outcome::Answered:
            ok = true;
            reason = QStringLiteral("balance %1").arg(probe.balance(), 0, 'f', 2);
            break;
        case ServerProbe::Outcome::Refused:
            ok = cardNumber.isEmpty() && probe.isCardNotFound();
            reason = ok ? QStringLiteral("terminal served (no such card, as expected)")
                        : QStringLiteral("refused: \"%1\"").arg(probe.description());
            break;
        case ServerProbe::Outcome::Unreachable:
            reason = QStringLiteral("no answer: ") + probe.description();
            break;
        }
        row(QStringLiteral("server:%1").arg(i), QStringLiteral("server #%1").arg(i + 1), ok,
            where + QStringLiteral(": ") + reason);
    }
}
