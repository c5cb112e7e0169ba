#include "TillCheck.h"

#include "BonusSettings.h"
#include "Clock.h"
#include "LogSetup.h"
#include "OperationJournal.h"
#include "ReceiptImage.h"
#include "ReversalRule.h"
#include "ThriftSSLSocketFactory.h"
#include "ThriftTransportProvider.h"
#include "ThriftTransportWrapper.h"
#include "TillDatabase.h"
#include "TillPaths.h"
#include "VeltaBonusClientThrift.h"

#include "AccountingLogicService.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>

namespace api = accounting::logic::thriftapi;

namespace {

QString orDefault(const QString &path, const QString &fallback)
{
    return path.isEmpty() ? fallback : path;
}

// Can a file be written here? Proven by writing, not by asking access():
// the answer must hold for root on a read-only mount too. An existing file
// is opened for appending, so its content stays as it is.
QString unwritable(const QString &path, bool directory)
{
    if (directory) {
        if (!QDir().mkpath(path))
            return QStringLiteral("не удалось создать каталог");
        QFile probe(path + QStringLiteral("/.bonus_credit_check"));
        if (!probe.open(QIODevice::WriteOnly))
            return probe.errorString();
        probe.remove();
        return QString();
    }
    QFile file(path);
    const bool existed = file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return file.errorString();
    file.close();
    if (!existed)
        file.remove();
    return QString();
}

} // namespace

TillCheck::TillCheck(TillDatabase &database, OperationJournal &journal)
    : database(database)
    , journal(journal)
{
}

QByteArray TillCheck::run(const QString &cardNumber)
{
    rows = QJsonArray();
    allOk = true;

    const QString settingsPath = TillPaths::settingsFile();
    const BonusSettings settings = BonusSettings::read(settingsPath);
    switch (settings.state()) {
    case BonusSettings::State::Missing:
        row(QStringLiteral("settings"), false,
            QStringLiteral("Файл с настройками не найден: ") + settingsPath);
        break;
    case BonusSettings::State::Unreadable:
        row(QStringLiteral("settings"), false,
            QStringLiteral("Файл с настройками не читается: ") + settingsPath);
        break;
    case BonusSettings::State::TooLarge:
        row(QStringLiteral("settings"), false,
            QStringLiteral("Ошибка в файле настроек: ")
                + settings.problems().join(QStringLiteral("; ")));
        break;
    case BonusSettings::State::NotJson:
        row(QStringLiteral("settings"), false,
            QStringLiteral("Ошибка в файле настроек: это не JSON: ") + settingsPath);
        break;
    case BonusSettings::State::Read: {
        QStringList problems = settings.problems();
        const QHash<QString, QString> unknown = settings.unknownKeys();
        for (auto it = unknown.cbegin(); it != unknown.cend(); ++it)
            problems << QStringLiteral("Неизвестный ключ \"%1\" (возможно, \"%2\")")
                            .arg(it.key(), it.value());
        problems.sort();
        row(QStringLiteral("settings"), problems.isEmpty(),
            problems.isEmpty() ? settingsPath : problems.join(QStringLiteral("; ")));
        break;
    }
    }

    if (settings.hasTls() && settings.isUsable()) {
        const QString serverName = settings.tls().serverName;
        row(QStringLiteral("tls"), serverName.isEmpty() ? Verdict::Warn : Verdict::Ok,
            serverName.isEmpty() ? QStringLiteral("TLS server name not checked: any certificate "
                                                  "from the CA can pose as the server")
                                 : QStringLiteral("server certificates must name ") + serverName);
    }

    checkWritable(QStringLiteral("workDir"), TillPaths::workDir());
    checkWritable(QStringLiteral("statusFile"),
                  orDefault(settings.text(QStringLiteral("statusFile")), TillPaths::statusFile()));
    checkWritable(QStringLiteral("printFile"),
                  orDefault(settings.text(QStringLiteral("printFile")), TillPaths::printFile()));

    try {
        const QList<OperationJournal::Record> unsettled = journal.unsettled();
        row(QStringLiteral("journal"), true, journal.path());
        // Reversals still being asked, and those a person must look at.
        QStringList pending;
        QStringList attention;
        for (const OperationJournal::Record &record : unsettled) {
            const bool needsAttention
                = record.state == QLatin1String(OperationJournal::State::attention);
            (needsAttention ? attention : pending)
                << QStringLiteral("%1 карта %2 сумма %3 попыток %4: %5%6")
                       .arg(ReversalRule::idOf(record, Clock::currentDateTimeUtc()),
                            record.cardNumber, QString::number(record.amount),
                            QString::number(record.attempts), record.lastError,
                            needsAttention ? QStringLiteral(" (payment-host recover --forget %1)")
                                                 .arg(record.id)
                                           : QString());
        }
        row(QStringLiteral("unsettled"), pending.isEmpty(),
            pending.isEmpty() ? QStringLiteral("нет незавершённых отмен")
                              : pending.join(QStringLiteral("; ")));
        row(QStringLiteral("attention"), attention.isEmpty(),
            attention.isEmpty() ? QStringLiteral("нет записей, требующих проверки")
                                : attention.join(QStringLiteral("; ")));
    } catch (const OperationJournal::Error &e) {
        row(QStringLiteral("journal"), false, QString::fromUtf8(e.what()));
    }

    // What this process could not write to its log, this check's own lines
    // included.
    LogSetup::flush();
    const int logFailures = LogSetup::failures();
    row(QStringLiteral("log"), logFailures == 0,
        logFailures == 0 ? QStringLiteral("записи лога не терялись")
                         : QStringLiteral("не записано в лог: %1, последняя ошибка: %2")
                               .arg(QString::number(logFailures), LogSetup::lastFailure()));

    checkDatabase(settings, cardNumber);
    if (settings.state() == BonusSettings::State::Read)
        checkServers(settings, cardNumber);

    return QJsonDocument(
               QJsonObject {{QStringLiteral("ok"), allOk}, {QStringLiteral("rows"), rows}})
        .toJson(QJsonDocument::Compact);
}

void TillCheck::row(const QString &name, bool ok, const QString &reason)
{
    row(name, ok ? Verdict::Ok : Verdict::Fail, reason);
}

void TillCheck::row(const QString &name, Verdict verdict, const QString &reason)
{
    static const char *const states[] = {"ok", "warn", "fail"};
    // A warning leaves the till working: "ok" stays true for it.
    const bool ok = verdict != Verdict::Fail;
    allOk = allOk && ok;
    rows.append(QJsonObject {{QStringLiteral("name"), name},
                             {QStringLiteral("ok"), ok},
                             {QStringLiteral("state"), QLatin1String(states[int(verdict)])},
                             {QStringLiteral("reason"), reason}});
}

void TillCheck::checkWritable(const QString &name, const QString &path)
{
    const QString problem = unwritable(path, name == QLatin1String("workDir"));
    row(name, problem.isEmpty(), problem.isEmpty() ? path : path + QStringLiteral(": ") + problem);
}

void TillCheck::checkDatabase(const BonusSettings &settings, const QString &cardNumber)
{
    if (!database.open()) {
        row(QStringLiteral("database"), false,
            QStringLiteral("Не удалось подключиться к БД: ") + database.lastError());
        return;
    }
    row(QStringLiteral("database"), true, database.databaseName());

    const QStringList tables = database.tables();
    QStringList missing;
    for (const QString &table :
         {QStringLiteral("card"), QStringLiteral("client"), QStringLiteral("mol")}) {
        if (!tables.contains(table))
            missing << table;
    }
    row(QStringLiteral("tables"), missing.isEmpty(),
        missing.isEmpty() ? tables.join(QStringLiteral(", "))
                          : QStringLiteral("нет таблиц: ") + missing.join(QStringLiteral(", ")));
    if (cardNumber.isEmpty() || !missing.isEmpty())
        return;

    TillDatabase::Card card {cardNumber, QString(), QString()};
    try {
        database.findCard(card, settings.text(QStringLiteral("regexPattern")),
                          settings.text(QStringLiteral("regexRule")));
        row(QStringLiteral("card"), true,
            QStringLiteral("%1 (idcard %2)").arg(card.number, card.id));
        row(QStringLiteral("client"), true, card.clientName);
    } catch (const std::exception &e) {
        const QString text = QString::fromUtf8(e.what());
        const auto *failure = dynamic_cast<const BonusCreditException *>(&e);
        const bool cardFound
            = !failure || failure->kind() != BonusCreditException::Kind::CardNotFound;
        row(QStringLiteral("card"), cardFound, cardFound ? card.number : text);
        if (cardFound)
            row(QStringLiteral("client"), false, text);
    }

    // The cashier of the receipt the till wrote last, if there is one.
    if (!QFileInfo(TillPaths::checkImage()).isFile())
        return;
    const ReceiptImage image = ReceiptImage::read(TillPaths::checkImage());
    try {
        row(QStringLiteral("cashier"), true, database.findCashier(image.cashierCode()));
    } catch (const std::exception &e) {
        row(QStringLiteral("cashier"), false, QString::fromUtf8(e.what()));
    }
}

void TillCheck::checkServers(const BonusSettings &settings, const QString &cardNumber)
{
    std::unique_ptr<VeltaBonusClientThrift> client;
    try {
        client.reset(new VeltaBonusClientThrift(settings, nullptr));
    } catch (const std::exception &e) {
        row(QStringLiteral("servers"), false, QString::fromUtf8(e.what()));
        return;
    }
    ThriftTransportProvider *configured = client->getProvider();
    const bool tls
        = std::dynamic_pointer_cast<ThriftSSLSocketFactory>(configured->getSocketFactory())
        != nullptr;
    for (const QString &host : configured->hosts()) {
        const int colon = host.lastIndexOf(QLatin1Char(':'));
        // One provider per server: each is asked on its own, without fail-over.
        ThriftTransportProvider single(configured->getSocketFactory());
        single.setConnectTimeout(configured->getConnectTimeout());
        single.setReceiveTimeout(configured->getReceiveTimeout());
        single.setSendTimeout(configured->getSendTimeout());
        const QString name = QStringLiteral("server ") + host;
        try {
            const auto transport
                = single.getTransport(host.left(colon), host.mid(colon + 1).toInt());
            api::AccountingLogicServiceClient service(
                VeltaBonusClientThrift::protocolOn(transport));
            api::Result result;
            service.balance(result, client->getTerminalId().toStdString(),
                            cardNumber.toStdString());
            transport->close();
            const QString description = QString::fromStdString(result.description);
            // Without a card any answer shows the server is there; with one,
            // the balance must come back.
            row(name, result.success || cardNumber.isEmpty(),
                (tls ? QStringLiteral("TLS, ") : QString())
                    + (result.success
                           ? QStringLiteral("баланс %1")
                                 .arg(VeltaBonusClientThrift::fromLongLong(result.balance), 0, 'f',
                                      2)
                           : QStringLiteral("ответ сервера: ") + description));
        } catch (const std::exception &e) {
            row(name, false,
                (tls ? QStringLiteral("TLS, ") : QString()) + QString::fromUtf8(e.what()));
        }
    }
}
