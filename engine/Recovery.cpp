#include "Recovery.h"

#include "BonusSettings.h"
#include "Clock.h"
#include "Limits.h"
#include "ReversalRule.h"
#include "Settlement.h"
#include "TillPaths.h"
#include "VeltaBonusClientThrift.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

const auto settledKey = QStringLiteral("settled");
const auto unsettledKey = QStringLiteral("unsettled");
const auto errorKey = QStringLiteral("error");

QJsonObject toJson(const OperationJournal::Record &record)
{
    return QJsonObject {
        {QStringLiteral("id"), record.id},
        {QStringLiteral("transactionId"), record.transactionId},
        {QStringLiteral("sessionId"), record.sessionId},
        {QStringLiteral("operation"), record.operation},
        {QStringLiteral("card"), record.cardNumber},
        {QStringLiteral("amount"), record.amount},
        {QStringLiteral("createdAt"), record.createdAt.toString(Qt::ISODateWithMs)},
        {QStringLiteral("state"), OperationJournal::textOf(record.state)},
        {QStringLiteral("outcome"), OperationJournal::textOf(record.outcome)},
        {QStringLiteral("attempts"), record.attempts},
        {QStringLiteral("lastError"), record.lastError},
        {QStringLiteral("nextAt"), record.nextAt.toString(Qt::ISODateWithMs)},
    };
}

QJsonArray toJson(const QList<OperationJournal::Record> &records)
{
    QJsonArray array;
    for (const OperationJournal::Record &record : records)
        array.append(toJson(record));
    return array;
}

} // namespace

Recovery::Recovery(OperationJournal &journal)
    : journal(journal)
    , logger("payment")
{
}

QByteArray Recovery::recover()
{
    return compact(pass());
}

QJsonObject Recovery::pass()
{
    logger.info(QStringLiteral("Отмена незавершённых транзакций"));
    Settlement::Pass pass;
    QString error;
    // A till that never paid has no journal, and nothing to settle; a log
    // left without its journal is damage, which opening it reports.
    if (QFile::exists(journal.path()) || QFile::exists(journal.path() + QStringLiteral("-wal"))) {
        try {
            if (journal.hasUnsettled()) {
                const BonusSettings settings = BonusSettings::read(TillPaths::settingsFile());
                VeltaBonusClientThrift client(settings, nullptr);
                pass
                    = Settlement(client, journal, settings.reversalWindowSeconds()).settle(0, true);
            }
            journal.prune(Limits::journalKeepDays);
        } catch (const std::exception &e) {
            error = QString::fromUtf8(e.what());
            logger.error(QStringLiteral("Незавершённые транзакции не отменены: ") + error);
            try {
                pass.unsettled = journal.unsettled();
            } catch (const OperationJournal::Error &) {
                // Already said: the journal itself is what failed.
            }
        }
    }
    logAttention(logger, pass.unsettled);

    QJsonObject answer {{settledKey, toJson(pass.settled)}, {unsettledKey, toJson(pass.unsettled)}};
    if (!error.isEmpty())
        answer.insert(errorKey, error);
    return answer;
}

QByteArray Recovery::forget(qint64 id)
{
    QString error;
    QJsonObject forgotten;
    try {
        const OperationJournal::Record record = journal.record(id);
        if (record.id == 0) {
            error = QStringLiteral("В журнале операций нет записи %1").arg(id);
        } else if (record.state == OperationJournal::State::Settled) {
            error = QStringLiteral("Запись %1 журнала операций уже закрыта: %2")
                        .arg(QString::number(id), OperationJournal::textOf(record.outcome));
        } else {
            journal.settle(id, OperationJournal::Outcome::Forgotten);
            logger.error(QStringLiteral("Запись %1 журнала операций закрыта вручную, без отмены на "
                                        "сервере: транзакция %2, карта %3, сумма %4, попыток %5, "
                                        "последний ответ: %6")
                             .arg(QString::number(id),
                                  ReversalRule::idOf(record, Clock::currentDateTimeUtc()),
                                  record.cardNumber, QString::number(record.amount),
                                  QString::number(record.attempts), record.lastError));
            forgotten = toJson(journal.record(id));
        }
    } catch (const OperationJournal::Error &e) {
        error = QString::fromUtf8(e.what());
    }
    if (!error.isEmpty())
        logger.error(error);

    QJsonObject answer = pass();
    if (!forgotten.isEmpty())
        answer.insert(QStringLiteral("forgotten"), forgotten);
    if (!error.isEmpty())
        answer.insert(errorKey, error);
    return compact(answer);
}

QByteArray Recovery::resetJournal()
{
    QJsonObject answer {{settledKey, QJsonArray()}, {unsettledKey, QJsonArray()}};
    try {
        const QString aside = journal.moveAside();
        logger.error(
            QStringLiteral("Повреждённый журнал операций перенесён в %1; начат новый").arg(aside));
        answer.insert(QStringLiteral("movedTo"), aside);
    } catch (const OperationJournal::Error &e) {
        const QString error = QString::fromUtf8(e.what());
        logger.error(QStringLiteral("Журнал операций не перенесён: ") + error);
        answer.insert(errorKey, error);
    }
    return compact(answer);
}

bool Recovery::open()
{
    try {
        journal.open();
        if (!pruned) {
            pruned = true;
            journal.prune(Limits::journalKeepDays);
        }
        return true;
    } catch (const OperationJournal::Error &e) {
        logger.error(QString::fromUtf8(e.what()));
    }
    return false;
}

void Recovery::settleDue(const BonusSettings &settings)
{
    try {
        if (!journal.hasUnsettled())
            return;
        VeltaBonusClientThrift client(settings, nullptr);
        // The cashier waits at most one connect limit for the queue, and
        // only for the reversals whose time has come.
        const Settlement::Pass pass = Settlement(client, journal, settings.reversalWindowSeconds())
                                          .settle(client.connectTimeout(), false);
        logAttention(logger, pass.unsettled);
    } catch (const std::exception &e) {
        logger.error(QStringLiteral("Незавершённые транзакции не отменены: ")
                     + QString::fromUtf8(e.what()));
    }
}

void Recovery::logAttention(const Logger &logger, const QList<OperationJournal::Record> &records)
{
    for (const OperationJournal::Record &record : records) {
        if (record.state != OperationJournal::State::Attention)
            continue;
        logger.error(QStringLiteral("Требует проверки: отмена транзакции %1 (карта %2, сумма %3, "
                                    "от %4) отклоняется сервером: %5; закрыть запись: "
                                    "payment-host recover --forget %6")
                         .arg(ReversalRule::idOf(record, Clock::currentDateTimeUtc()),
                              record.cardNumber, QString::number(record.amount),
                              record.createdAt.toLocalTime().toString(Qt::ISODate),
                              record.lastError, QString::number(record.id)));
    }
}

QByteArray Recovery::compact(const QJsonObject &answer)
{
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}
