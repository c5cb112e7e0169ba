#include "BonusCredit.h"

#include "BonusVersion.h"
#include "Clock.h"
#include "LogSetup.h"
#include "OperationJournal.h"
#include "Settlement.h"
#include "ThriftOutput.h"
#include "TillCheck.h"
#include "TillPaths.h"
#include "VeltaBonusClientThrift.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSettings>

namespace {

// Amounts above the balance by no more than this still pass.
const double limitTolerance = 0.001;

QString money(double value)
{
    return QString::number(value, 'f', 2);
}

} // namespace

BonusCredit::BonusCredit(QObject *parent)
    : QObject(parent)
    , logger("payment")
    , journal(new OperationJournal(TillPaths::journalFile()))
    , recovery(*journal)
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, TillPaths::confDir());
    LogSetup::setHandleQtMessages(true);
    ThriftOutput::capture();
}

BonusCredit::~BonusCredit()
{
    database.close();
    journal.reset();
    ThriftOutput::release();
    LogSetup::setHandleQtMessages(false);
}

void BonusCredit::run(int operation, int amount, const QString &cardNumber)
{
    logger.debug(QStringLiteral("Версия модуля: ") + QLatin1String(BONUS_VERSION));
    logger.info(QStringLiteral("Начало операции"));
    files.start();
    current = RunState();

    bool prepared = false;
    if (generateSettings() && generateParams(operation, amount, cardNumber)) {
        logger.info(QStringLiteral("Тип операции: %1").arg(current.operation));
        logger.info(QStringLiteral("Сумма: %1").arg(current.amount));
        logger.info(QStringLiteral("Номер карты: %1").arg(current.cardNumber));
        prepared = generateDbConnection() && generateCheckImg();
        // A balance moves no money and needs no journal.
        if (prepared && !recovery.open() && current.operation != Balance)
            prepared = fail(Kind::JournalUnavailable);
    }

    if (prepared) {
        recovery.settleDue(effective.file());
        runOperation();
    }

    logger.info(QStringLiteral("Завершение операции"));
}

void BonusCredit::runOperation()
{
    QString description;
    try {
        findCard();
        if (current.operation != Balance)
            current.cashierName = getChashier();

        // Released at the end of the run; its provider closes the connection.
        // Made after the lookups, where its failures belong.
        const BonusSettings &file = effective.file();
        const std::unique_ptr<VeltaBonusClientThrift> client(
            new VeltaBonusClientThrift(file, nullptr));
        const CardFlow flow(current.cardNumber, current.amount);
        AdditionalAssetInfo info;

        current.balance = client->balance(current.cardNumber).balance;

        if (current.operation == Balance) {
            description = QStringLiteral("Баланс карты: %1").arg(money(current.balance));
        } else {
            if (current.operation == Sale)
                checkLimit();
            info.dateFromCash = Clock::currentDateTime();
            Settlement(*client, *journal, file.reversalWindowSeconds())
                .pay(current.operation, flow, info);
            description = QStringLiteral("Успешное выполнение операции");
        }
    } catch (const BonusCreditException &e) {
        fail(e.kind(), e.detail());
        return;
    } catch (const OperationJournal::Error &e) {
        // Either nothing was sent (the journal refused the record), or the
        // commit could not be recorded and the payment was voided.
        fail(Kind::Journal, QString::fromUtf8(e.what()));
        return;
    } catch (const std::exception &e) {
        // The bonus client's and the transport's failures: their text is the
        // cashier's.
        fail(Kind::Server, QString::fromUtf8(e.what()));
        return;
    }

    // From here on the server has done its part and the journal holds it:
    // nothing local may turn the answer into a failure. The layout throws
    // nothing.
    const QString slip = current.operation == Balance ? getBalanceSlip() : getSlip();
    logger.info(QStringLiteral("Образ чека:\n") + slip);
    // The slip is on disk before the success status exists.
    if (!print(slip, QIODevice::WriteOnly))
        logger.error(QStringLiteral("Не удалось записать файл слипа '%1'").arg(printPath()));
    if (!status(Success, description, QIODevice::WriteOnly))
        logger.error(QStringLiteral("Не удалось записать файл статуса '%1'").arg(statusPath()));
}

bool BonusCredit::status(int code, const QString &description, QIODevice::OpenModeFlag mode)
{
    // Every caller replaces the whole file.
    Q_ASSERT(mode == QIODevice::WriteOnly);
    Q_UNUSED(mode)
    return files.status(code, description, current.cardNumber);
}

bool BonusCredit::print(const QString &text, QIODevice::OpenModeFlag mode)
{
    Q_ASSERT(mode == QIODevice::WriteOnly);
    Q_UNUSED(mode)
    return files.print(text);
}

bool BonusCredit::fail(Kind kind, const QString &detail)
{
    for (const QString &line : BonusCreditException::logLinesOf(kind, detail))
        logger.error(line);
    status(Failure, BonusCreditException::messageOf(kind, detail), QIODevice::WriteOnly);
    if (!BonusCreditException::keepsEmptiedSlip(kind))
        files.removePrint();
    return false;
}

bool BonusCredit::generateSettings()
{
    const bool usable = effective.apply(BonusSettings::read(TillPaths::settingsFile()));
    // A refused file keeps the last good paths: its status goes there.
    files.setPaths(effective.statusFile, effective.printFile);
    if (!usable) {
        for (const QString &problem : effective.file().problems())
            logger.error(problem);
        QDir().mkpath(QFileInfo(effective.statusFile).absolutePath());
        return fail(Kind::Settings);
    }

    // Both files are proven writable here, long before any money moves.
    switch (files.empty()) {
    case RunFiles::Unwritable::None:
        return true;
    case RunFiles::Unwritable::Status:
        return fail(Kind::StatusFile, effective.statusFile);
    case RunFiles::Unwritable::Print:
        return fail(Kind::PrintFile, effective.printFile);
    }
    return true;
}

bool BonusCredit::generateParams(int operation, int amount, const QString &cardNumber)
{
    current.operation = operation;
    if (operation != Sale && operation != Refund && operation != Cancel && operation != Balance) {
        logger.info(
            QStringLiteral("Недопустимая операция: Ожидался тип продажа(1), отмена(2 или 3) "
                           "или запрос баланса(5)  вместо этого пришел тип с кодом %1")
                .arg(operation));
        return fail(Kind::InvalidOperation);
    }
    // A negative sale would credit the card.
    if (operation != Balance && amount <= 0)
        return fail(Kind::InvalidAmount);
    current.amount = amount / 100.0;
    current.cardNumber = cardNumber;
    return true;
}

bool BonusCredit::generateDbConnection()
{
    // The connection of an earlier operation is kept while it lives.
    return database.ensureOpen() || fail(Kind::Database, database.lastError());
}

bool BonusCredit::generateCheckImg()
{
    if (current.operation == Balance)
        return true;
    bool ok = false;
    // Replaced even when the read failed: an earlier receipt's values must
    // not reach this operation's slip.
    current.receipt = ReceiptImage::read(TillPaths::checkImage(), &ok);
    return ok || fail(Kind::ReceiptImage);
}

QByteArray BonusCredit::recover()
{
    return recovery.recover();
}

QByteArray BonusCredit::forget(qint64 id)
{
    return recovery.forget(id);
}

QByteArray BonusCredit::resetJournal()
{
    return recovery.resetJournal();
}

QByteArray BonusCredit::check(const QString &cardNumber, bool fullCardNumbers)
{
    return TillCheck(database, *journal).run(cardNumber, fullCardNumbers);
}

void BonusCredit::findCard()
{
    TillDatabase::Card card {current.cardNumber, current.cardId, current.clientName};
    // The rewritten number stays even when the lookup fails: it goes to the
    // status file.
    const auto kept = qScopeGuard([&] {
        current.cardNumber = card.number;
        current.cardId = card.id;
        current.clientName = card.clientName;
    });
    database.findCard(card, effective.regexPattern, effective.regexRule);
}

void BonusCredit::checkLimit() const
{
    checkLimit(current.amount, current.balance);
}

void BonusCredit::checkLimit(double amount, double balance)
{
    if (amount > balance + limitTolerance)
        throw BonusCreditException(Kind::OverLimit, money(balance));
    Logger("payment").info(QStringLiteral("Проверка лимита прошла успешно"));
}

QString BonusCredit::getChashier()
{
    return database.findCashier(current.receipt.cashierCode());
}

QString BonusCredit::getSlip() const
{
    return Slip(effective.header, effective.widthPrint).payment(current);
}

QString BonusCredit::getBalanceSlip() const
{
    return Slip(effective.header, effective.widthPrint).balance(current);
}
