#include "BonusCredit.h"

#include "BonusSettings.h"
#include "BonusVersion.h"
#include "Clock.h"
#include "DatabaseUnavailable.h"
#include "JsonText.h"
#include "Limits.h"
#include "LogSetup.h"
#include "OperationJournal.h"
#include "Recovery.h"
#include "Settlement.h"
#include "ThriftOutput.h"
#include "ThriftTransportProvider.h"
#include "TillCheck.h"
#include "TillPaths.h"
#include "VeltaBonusClientThrift.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <memory>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int defaultWidthPrint = 30;
const int checkNumberDigits = 5;
// Amounts above the balance by no more than this still pass.
const double limitTolerance = 0.001;

const char mysqlDriver[] = "QMYSQL";
const char databaseName[] = "dictionaries";
const char databaseUser[] = "root";
const char databaseHost[] = "localhost";
const int databasePort = 3306;

QString defaultHeader()
{
    return QStringLiteral("Бонтария");
}

QString money(double value)
{
    return QString::number(value, 'f', 2);
}

const char cardStatement[] = "select idclient, idcard from card where number = ?";

QString blank(int width)
{
    return QString().rightJustified(width, QLatin1Char(' '));
}

QString rule(int width)
{
    return width > 0 ? QString(width, QLatin1Char('_')) : QString();
}

QString joinEntries(const QStringList &entries)
{
    QString slip;
    for (const QString &entry : entries)
        slip += entry + QLatin1Char('\n');
    return slip;
}

// The server went away or dropped the connection (MariaDB's client errors
// 2006, 2013 and 2055).
bool connectionLost(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("2006") || code == QLatin1String("2013")
        || code == QLatin1String("2055");
}

QString boundStatementText(const QString &statement, const QString &value)
{
    QString text = statement;
    return text.replace(QLatin1Char('?'), QLatin1Char('\'') + value + QLatin1Char('\''));
}

} // namespace

bool writeInfo(const QString &path, const QString &text, QIODevice::OpenModeFlag mode)
{
    // Every caller replaces the whole file.
    Q_ASSERT(mode == QIODevice::WriteOnly);
    Q_UNUSED(mode)
    return writeBytes(path, text.toUtf8());
}

int openForWriting(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    const int fd = openForWriting(path);
    if (fd < 0)
        return false;
    const bool whole = writeBytesTo(fd, bytes);
    return ::close(fd) == 0 && whole;
}

bool writeBytesTo(int fd, const QByteArray &bytes)
{
    // Written in place, as the till's tools expect the file. Its content is
    // laid over the old and any longer old tail cut off after it, rather
    // than truncated first: truncating a file that holds data makes ext4
    // push it to the disk on close, and the file was emptied at the start of
    // the run anyway. Nobody depends on it being whole: the plug-in compares
    // what it reads back with what the run wrote, and the journal, not this
    // file, is what must outlive a power cut.
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.constData() + written, size_t(bytes.size() - written),
                                   off_t(written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    struct stat info
    {
    };
    bool whole = written == bytes.size() && ::fstat(fd, &info) == 0;
    if (whole && info.st_size > off_t(bytes.size()))
        whole = ::ftruncate(fd, off_t(bytes.size())) == 0;
    return whole;
}

QString centerStr(const QString &text, int width)
{
    // QString's justification computes width - length, which overflows for
    // the most negative widths; all negative widths pad alike.
    width = qMax(width, -1);
    const int n = width / 2 + text.size() / 2;
    return text.rightJustified(n, QLatin1Char(' ')).leftJustified(width, QLatin1Char(' '));
}

QString rightStrList(const QString &text, int width)
{
    width = qMax(width, -1);
    QStringList lines;
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &word : words)
        lines << word.rightJustified(width, QLatin1Char(' '));
    return lines.join(QLatin1Char('\n'));
}

BonusCredit::BonusCredit(QObject *parent)
    : QObject(parent)
    , prepared(false)
    , workDir(TillPaths::workDir())
    , settingsPath(TillPaths::settingsFile())
    , operationType(0)
    , amount(0)
    , widthPrint(0)
    , balance(0)
    , logger("payment")
    , journal(new OperationJournal(TillPaths::journalFile()))
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, TillPaths::confDir());
    LogSetup::setHandleQtMessages(true);
    ThriftOutput::capture();
}

BonusCredit::~BonusCredit()
{
    // A host may delete the plug-in while it runs, or Qt may do so at exit,
    // when the registry of connections is already gone: only unregister
    // while the application still stands.
    closeRunFiles();
    dbConnection = QSqlDatabase();
    if (QCoreApplication::instance() && QSqlDatabase::contains(connectionName()))
        QSqlDatabase::removeDatabase(connectionName());
    journal.reset();
    ThriftOutput::release();
    LogSetup::setHandleQtMessages(false);
}

QString BonusCredit::connectionName()
{
    return QStringLiteral("ProcessingBonusCredit");
}

void BonusCredit::run(int operation, int amount, const QString &cardNumber)
{
    logger.debug(QStringLiteral("Версия модуля: ") + QLatin1String(BONUS_VERSION));
    logger.info(QStringLiteral("Начало операции"));
    lastStatus.clear();
    lastCode = Empty;
    lastPrint.clear();
    printLeft = false;

    lookAhead(cardNumber);
    // A run that ends before the lookup's turn closes the connection rather
    // than wait for its answer.
    const auto unanswered = qScopeGuard([this] { dropLookAhead(); });
    // The files are whole and closed before anyone reads them back.
    const auto filesClosed = qScopeGuard([this] { closeRunFiles(); });

    prepared = false;
    if (generateSettings() && generateParams(operation, amount, cardNumber)) {
        logger.info(QStringLiteral("Тип операции: %1").arg(operationType));
        logger.info(QStringLiteral("Сумма: %1").arg(this->amount));
        logger.info(QStringLiteral("Номер карты: %1").arg(this->cardNumber));
        prepared = generateDbConnection() && generateCheckImg() && generateJournal();
    }

    if (prepared) {
        settleJournal();
        runOperation();
    }

    logger.info(QStringLiteral("Завершение операции"));
}

void BonusCredit::lookAhead(const QString &cardNumber)
{
    // On the connection kept from the last operation, for the number as the
    // last settings would rewrite it; the server answers while the run
    // prepares.
    if (!earlyCard.pending() && regexRule.isEmpty() && dbConnection.isOpen())
        earlyCard.send(dbConnection, lookupText(QLatin1String(cardStatement), cardNumber));
}

void BonusCredit::dropLookAhead()
{
    if (earlyCard.pending()) {
        earlyCard.abandon();
        dbConnection.close();
    }
}

void BonusCredit::runOperation()
{
    QString description;
    try {
        // Released at the end of the run; its provider closes the connection.
        // Made while the card's lookup is out when nothing can go wrong in
        // the making (plain TCP from settings that were read), else in its
        // turn, after the lookups, where its failures belong.
        std::unique_ptr<VeltaBonusClientThrift> client;
        if (runSettings.state() == BonusSettings::State::Read && !runSettings.hasTls())
            client.reset(new VeltaBonusClientThrift(runSettings, nullptr));

        findCard();
        if (operationType != Balance)
            cashierName = getChashier();

        if (!client)
            client.reset(new VeltaBonusClientThrift(runSettings, nullptr));
        const CardFlow flow(cardNumber, amount);
        AdditionalAssetInfo info;

        balance = client->balance(cardNumber).balance;

        if (operationType == Balance) {
            description = QStringLiteral("Баланс карты: %1").arg(money(balance));
        } else {
            if (operationType == Sale)
                checkLimit();
            info.dateFromCash = Clock::currentDateTime();
            Settlement(*client, *journal, runSettings.reversalWindowSeconds())
                .pay(operationType, flow, info);
            description = QStringLiteral("Успешное выполнение операции");
        }
    } catch (const DatabaseUnavailable &) {
        databaseFailed();
        return;
    } catch (const OperationJournal::Error &e) {
        // Either nothing was sent (the journal refused the record), or the
        // commit could not be recorded and the payment was voided.
        logger.error(QString::fromUtf8(e.what()));
        fail(QStringLiteral("Не удалось записать журнал операций"));
        return;
    } catch (const std::exception &e) {
        fail(QString::fromLocal8Bit(e.what()));
        return;
    }

    // From here on the server has done its part and the journal holds it:
    // nothing local may turn the answer into a failure.
    QString slip;
    try {
        slip = operationType == Balance ? getBalanceSlip() : getSlip();
    } catch (const std::exception &e) {
        logger.error(QStringLiteral("Не удалось сформировать слип: ")
                     + QString::fromLocal8Bit(e.what()));
    }
    logger.info(QStringLiteral("Образ чека:\n") + slip);
    // The slip is on disk before the success status exists.
    if (!print(slip, QIODevice::WriteOnly))
        logger.error(QStringLiteral("Не удалось записать файл слипа '%1'").arg(printFile));
    if (!status(Success, description, QIODevice::WriteOnly))
        logger.error(QStringLiteral("Не удалось записать файл статуса '%1'").arg(statusFile));
}

bool BonusCredit::status(int code, const QString &description, QIODevice::OpenModeFlag mode) const
{
    // Every caller replaces the whole file.
    Q_ASSERT(mode == QIODevice::WriteOnly);
    Q_UNUSED(mode)
    lastCode = code;
    if (code == Empty) {
        lastStatus = description.toUtf8();
        return writeRunFile(statusOut, statusFile, lastStatus);
    }
    // Escaped: a quote in a server text or a card number must not break the
    // JSON the plug-in reads back.
    QByteArray text = "{ \"status\" : " + QByteArray::number(code) + ", \"description\" : ";
    JsonText::appendQuoted(text, description);
    text += ", \"cardNumber\" : ";
    JsonText::appendQuoted(text, cardNumber);
    text += " }";
    lastStatus = text;
    lastDescription = description;
    lastCardNumber = cardNumber;
    return writeRunFile(statusOut, statusFile, text);
}

bool BonusCredit::writtenStatusFields(int &code, QString &description, QString &cardNumber) const
{
    // The text carries every character back, a lone surrogate as an escape.
    if (lastCode == Empty)
        return false;
    code = lastCode;
    description = lastDescription;
    cardNumber = lastCardNumber;
    return true;
}

bool BonusCredit::print(const QString &text, QIODevice::OpenModeFlag mode) const
{
    // Every caller replaces the whole file.
    Q_ASSERT(mode == QIODevice::WriteOnly);
    Q_UNUSED(mode)
    lastPrint = text.toUtf8();
    printLeft = true;
    return writeRunFile(printOut, printFile, lastPrint);
}

bool BonusCredit::writeRunFile(RunFile &file, const QString &path, const QByteArray &bytes) const
{
    if (file.fd >= 0 && file.path != path)
        closeRunFile(file);
    if (file.fd < 0) {
        file.fd = openForWriting(path);
        if (file.fd < 0)
            return false;
        file.path = path;
    }
    if (writeBytesTo(file.fd, bytes))
        return true;
    // Not kept after a failure: the next write opens the path again.
    closeRunFile(file);
    return false;
}

void BonusCredit::closeRunFile(RunFile &file)
{
    if (file.fd >= 0)
        ::close(file.fd);
    file.fd = -1;
}

void BonusCredit::closeRunFiles() const
{
    closeRunFile(statusOut);
    closeRunFile(printOut);
}

bool BonusCredit::generateSettings()
{
    runSettings = BonusSettings::read(settingsPath);
    const BonusSettings &settings = runSettings;
    const bool refused = settings.state() == BonusSettings::State::NotJson
        || settings.state() == BonusSettings::State::TooLarge
        || (settings.state() == BonusSettings::State::Read && !settings.isUsable());
    if (refused) {
        // The values of the last good read stay, the status path among them.
        if (statusFile.isEmpty())
            statusFile = workDir + QStringLiteral("/") + TillPaths::statusFileName();
        for (const QString &problem : settings.problems())
            logger.error(problem);
        const QString text = QStringLiteral("Ошибка в файле настроек");
        logger.error(text);
        QDir().mkpath(QFileInfo(statusFile).absolutePath());
        status(Failure, text, QIODevice::WriteOnly);
        return false;
    }
    if (settings.state() == BonusSettings::State::Read) {
        printFile = settings.text(QStringLiteral("printFile"));
        statusFile = settings.text(QStringLiteral("statusFile"));
        widthPrint = settings.integer(QStringLiteral("widthPrint"));
        regexPattern = settings.text(QStringLiteral("regexPattern"));
        regexRule = settings.text(QStringLiteral("regexRule"));
        header = settings.text(QStringLiteral("header"));
    }

    if (statusFile.isEmpty())
        statusFile = workDir + QStringLiteral("/") + TillPaths::statusFileName();
    if (printFile.isEmpty())
        printFile = workDir + QStringLiteral("/") + TillPaths::printFileName();
    if (widthPrint == 0)
        widthPrint = defaultWidthPrint;
    if (header.isEmpty())
        header = defaultHeader();

    // Both files are proven writable here, long before any money moves. A
    // fresh till has no work directory yet: it is made when a write needs it.
    if (status(Empty, QString(), QIODevice::WriteOnly) && print(QString(), QIODevice::WriteOnly))
        return true;
    QDir().mkpath(workDir);
    QDir().mkpath(QFileInfo(statusFile).absolutePath());
    QDir().mkpath(QFileInfo(printFile).absolutePath());
    if (!status(Empty, QString(), QIODevice::WriteOnly)) {
        printLeft = false;
        refuse(QStringLiteral("Не удалось записать файл статуса операции"), statusFile);
        return false;
    }
    if (!print(QString(), QIODevice::WriteOnly)) {
        printLeft = false;
        refuse(QStringLiteral("Не удалось записать файл слипа"), printFile);
        return false;
    }
    return true;
}

void BonusCredit::fail(const QString &text)
{
    logger.error(text);
    status(Failure, text, QIODevice::WriteOnly);
    closeRunFile(printOut);
    QFile::remove(printFile);
    printLeft = false;
}

void BonusCredit::refuse(const QString &text, const QString &path)
{
    logger.error(QStringLiteral("%1 '%2'").arg(text, path));
    status(Failure, text, QIODevice::WriteOnly);
}

bool BonusCredit::generateParams(int operation, int amount, const QString &cardNumber)
{
    operationType = operation;

    QString refusal;
    if (operation != Sale && operation != Refund && operation != Cancel && operation != Balance) {
        logger.info(
            QStringLiteral("Недопустимая операция: Ожидался тип продажа(1), отмена(2 или 3) "
                           "или запрос баланса(5)  вместо этого пришел тип с кодом %1")
                .arg(operation));
        refusal = QStringLiteral("Недопустимая операция");
    } else if (operation != Balance && amount <= 0) {
        // A negative sale would credit the card.
        refusal = QStringLiteral("Недопустимая сумма");
    }

    if (!refusal.isEmpty()) {
        try {
            throw BonusCreditException(refusal);
        } catch (const BonusCreditException &e) {
            logger.error(QString::fromLocal8Bit(e.what()));
            status(Failure, refusal, QIODevice::WriteOnly);
        }
        return false;
    }

    this->amount = amount / 100.0;
    this->cardNumber = cardNumber;
    return true;
}

bool BonusCredit::openDatabase()
{
    // Replace our own connection of the last run, quietly; the host's
    // connections are left alone.
    dbConnection = QSqlDatabase();
    if (QSqlDatabase::contains(connectionName()))
        QSqlDatabase::removeDatabase(connectionName());

    dbConnection = QSqlDatabase::addDatabase(QLatin1String(mysqlDriver), connectionName());
    dbConnection.setDatabaseName(QLatin1String(databaseName));
    dbConnection.setUserName(QLatin1String(databaseUser));
    dbConnection.setPassword(QString());
    dbConnection.setHostName(QLatin1String(databaseHost));
    dbConnection.setPort(databasePort);
    // A frozen server must not hold the till: connecting, reading and
    // writing each have a bound.
    dbConnection.setConnectOptions(
        QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=%1;MYSQL_OPT_READ_TIMEOUT=%2;"
                       "MYSQL_OPT_WRITE_TIMEOUT=%3")
            .arg(Limits::databaseConnectSeconds)
            .arg(Limits::databaseReadSeconds)
            .arg(Limits::databaseWriteSeconds));

    if (!dbConnection.open())
        return false;
    // The driver settles for utf8mb3 with libmariadb; ask for all of UTF-8.
    QSqlQuery names(dbConnection);
    names.exec(QStringLiteral("SET NAMES utf8mb4"));
    return true;
}

bool BonusCredit::generateDbConnection()
{
    // The connection of an earlier operation is kept while it lives.
    if (dbConnection.isOpen() || openDatabase())
        return true;

    databaseFailed();
    return false;
}

void BonusCredit::databaseFailed()
{
    const QString text = QStringLiteral("Не удалось подключиться к БД");
    logger.error(text);
    // The driver's own words, for whoever reads the log.
    logger.error(QStringLiteral("Ошибка драйвера БД: ") + dbConnection.lastError().text());
    status(Failure, text, QIODevice::WriteOnly);
}

bool BonusCredit::generateCheckImg()
{
    if (operationType == Balance)
        return true;

    QFile file(TillPaths::checkImage());
    if (file.exists() && file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
        file.close();
        // Replaced even when the parse failed: an earlier receipt's values
        // must not reach this operation's slip.
        checkImg = document.toVariant().toMap();
        if (error.error == QJsonParseError::NoError)
            return true;
    }

    const QString text = QStringLiteral("Неверный формат образа чека");
    logger.error(text);
    status(Failure, text, QIODevice::WriteOnly);
    return false;
}

bool BonusCredit::generateJournal()
{
    try {
        journal->open();
        if (!journalPruned) {
            journalPruned = true;
            journal->prune(Limits::journalKeepDays);
        }
        return true;
    } catch (const OperationJournal::Error &e) {
        logger.error(QString::fromUtf8(e.what()));
    }
    // A balance moves no money and needs no journal.
    if (operationType == Balance)
        return true;
    const QString text = QStringLiteral("Не удалось записать журнал операций");
    status(Failure, text, QIODevice::WriteOnly);
    return false;
}

void BonusCredit::settleJournal()
{
    try {
        if (!journal->hasUnsettled())
            return;
        VeltaBonusClientThrift client(runSettings, nullptr);
        // The cashier waits at most one connect limit for the queue, and
        // only for the reversals whose time has come.
        const Settlement::Pass pass
            = Settlement(client, *journal, runSettings.reversalWindowSeconds())
                  .settle(client.getProvider()->getConnectTimeout(), false);
        Recovery::logAttention(logger, pass.unsettled);
    } catch (const std::exception &e) {
        logger.error(QStringLiteral("Незавершённые транзакции не отменены: ")
                     + QString::fromLocal8Bit(e.what()));
    }
}

QByteArray BonusCredit::recover()
{
    return Recovery(*journal).recover();
}

QByteArray BonusCredit::forget(qint64 id)
{
    return Recovery(*journal).forget(id);
}

QByteArray BonusCredit::resetJournal()
{
    return Recovery(*journal).resetJournal();
}

QByteArray BonusCredit::check(const QString &cardNumber)
{
    return TillCheck(*this).run(cardNumber);
}

QString BonusCredit::lookupText(const QString &statement, const QString &value) const
{
    // The value goes in escaped by the driver for this connection's
    // character set: as safe as a bound parameter, without the server-side
    // prepare and close that cost two round trips per lookup.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QSqlField field(QString(), QVariant::String);
#else
    QSqlField field(QString(), QMetaType(QMetaType::QString));
#endif
    field.setValue(value);
    QString sql = statement;
    return sql.replace(QLatin1Char('?'), dbConnection.driver()->formatValue(field));
}

QStringList BonusCredit::firstRow(const QString &statement, int columns, const QString &value,
                                  const QString &failureMessage) const
{
    QString text = lookupText(statement, value);
    QStringList row;
    if (earlyCard.pending() && earlyCard.take(text, columns, &row))
        return row;
    QSqlQuery query(dbConnection);
    query.setForwardOnly(true);
    bool ok = query.exec(text);
    // A connection kept from an earlier operation may have been dropped by
    // the server meanwhile: one fresh connection, one more try.
    if (!ok && connectionLost(query.lastError())) {
        logger.info(QStringLiteral("Соединение с БД потеряно, подключаемся заново"));
        if (!const_cast<BonusCredit *>(this)->openDatabase())
            throw DatabaseUnavailable();
        // Escaped by the new connection's driver.
        text = lookupText(statement, value);
        query = QSqlQuery(dbConnection);
        query.setForwardOnly(true);
        ok = query.exec(text);
    }
    if (!ok) {
        logger.error(QStringLiteral("sql query '%1' error: '%2'")
                         .arg(boundStatementText(statement, value), query.lastError().text()));
        throw BonusCreditException(failureMessage);
    }
    if (query.next()) {
        for (int i = 0; i < columns; ++i)
            row << query.value(i).toString();
    }
    return row;
}

void BonusCredit::findCard()
{
    logger.info(QStringLiteral("Преобразуем номер карты %1: regexPattern=\"%2\", regexRule=\"%3\"")
                    .arg(cardNumber, regexPattern, regexRule));

    if (!regexRule.isEmpty()) {
        const QRegularExpression pattern(regexPattern);
        if (pattern.isValid())
            cardNumber.replace(pattern, regexRule);
        else
            logger.error(QStringLiteral("Неверное регулярное выражение \"%1\": %2")
                             .arg(regexPattern, pattern.errorString()));
    }

    logger.info(QStringLiteral("Поиск карты с номером \"%1\"").arg(cardNumber));

    const QString cardNotFound = QStringLiteral("Карта не найдена");
    const QString clientNotFound = QStringLiteral("Клиент не найден");

    const QStringList card = firstRow(QLatin1String(cardStatement), 2, cardNumber, cardNotFound);
    if (card.isEmpty())
        throw BonusCreditException(cardNotFound);

    const QString clientId = card.value(0);
    if (clientId.isEmpty()) {
        logger.error(QStringLiteral("В карте не указан id клиента"));
        throw BonusCreditException(clientNotFound);
    }

    logger.info(QStringLiteral("Карта найдена."));
    cardId = card.value(1);

    logger.info(QStringLiteral("Поиск клиента с идентификатором %1").arg(clientId));
    const QStringList client = firstRow(
        QStringLiteral("select name from client where idClient = ?"), 1, clientId, clientNotFound);
    if (client.isEmpty())
        throw BonusCreditException(clientNotFound);

    clientName = client.value(0);
    logger.info(QStringLiteral("Найден клиент %1").arg(clientName));
}

void BonusCredit::checkLimit() const
{
    if (amount > balance + limitTolerance)
        throw BonusCreditException(QStringLiteral("Для оплаты доступно %1").arg(money(balance)));
    logger.info(QStringLiteral("Проверка лимита прошла успешно"));
}

QString BonusCredit::getChashier() const
{
    const QString code = checkImg.value(QStringLiteral("cashierCode")).toString();
    logger.info(QStringLiteral("Поиск кассира с кодом %1").arg(code));

    const QString notFound = QStringLiteral("Кассир не найден!");
    const QStringList cashier
        = firstRow(QStringLiteral("select name from mol where code = ?"), 1, code, notFound);
    if (cashier.isEmpty())
        throw BonusCreditException(notFound);

    const QString name = cashier.value(0);
    logger.info(QStringLiteral("Найден кассир: %1").arg(name));
    return name;
}

int BonusCredit::getCheckNumber() const
{
    return checkImg.value(QStringLiteral("num")).toInt();
}

QString BonusCredit::getCashCode() const
{
    return checkImg.value(QStringLiteral("cashCode")).toString();
}

int BonusCredit::layoutWidth() const
{
    // Every negative width lays out alike (no padding, empty blank and rule
    // entries); -1 keeps width - 20 and the like from overflowing.
    return qMax(widthPrint, -1);
}

QString BonusCredit::dateTimeEntry() const
{
    // Laid out digit by digit: QDateTime::toString reads its format through
    // the locale on every call.
    QDate date;
    QTime time;
    Clock::currentDateAndTime(&date, &time);
    const auto twoDigits = [](QString &text, int value) {
        text += QLatin1Char(char('0' + value / 10 % 10));
        text += QLatin1Char(char('0' + value % 10));
    };
    QString text = QStringLiteral("ДАТА ");
    text.reserve(32);
    twoDigits(text, date.day());
    text += QLatin1Char('/');
    twoDigits(text, date.month());
    text += QLatin1Char('/');
    twoDigits(text, date.year());
    text += QStringLiteral("   ВРЕМЯ ");
    twoDigits(text, time.hour());
    text += QLatin1Char(':');
    twoDigits(text, time.minute());
    text += QLatin1Char(':');
    twoDigits(text, time.second());
    return text.rightJustified(layoutWidth(), QLatin1Char(' '));
}

QString BonusCredit::nameBlock() const
{
    const int W = layoutWidth();
    if (clientName.size() > W)
        return rightStrList(clientName, W);
    return clientName.rightJustified(W, QLatin1Char(' '));
}

QString BonusCredit::getSlip() const
{
    const int W = layoutWidth();
    const int number = getCheckNumber();
    const QString cashCode = getCashCode();
    const double limit = operationType == Sale ? balance - amount : balance + amount;

    // Built entry by entry: a value holding "%5" is printed as it is.
    const QStringList entries = {
        centerStr(header, W),
        blank(W),
        QStringLiteral("    Касса:") + cashCode.rightJustified(W - 10, QLatin1Char(' ')),
        QStringLiteral("    Кассир:").leftJustified(W, QLatin1Char(' ')),
        rightStrList(cashierName, W),
        blank(W),
        centerStr(QStringLiteral("ЧЕК ")
                      + QString::number(number).rightJustified(checkNumberDigits, QLatin1Char('0')),
                  W),
        (operationType == Sale ? QStringLiteral("ОПЛАТА") : QStringLiteral("ОТМЕНА ОПЛАТЫ"))
            .leftJustified(W, QLatin1Char(' ')),
        blank(W),
        QStringLiteral("КЛИЕНТ:").leftJustified(W, QLatin1Char(' ')),
        nameBlock(),
        QStringLiteral("КАРТА:").leftJustified(W, QLatin1Char(' ')),
        cardId.rightJustified(W, QLatin1Char(' ')),
        QStringLiteral("СУММА:") + money(amount).rightJustified(W - 10, QLatin1Char(' '))
            + QStringLiteral(" RUR"),
        blank(W),
        QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:") + money(limit).rightJustified(W - 20, QLatin1Char(' '))
            + QStringLiteral(" RUR"),
        blank(W),
        dateTimeEntry(),
        blank(W),
        rule(W),
        centerStr(QStringLiteral("ПОДПИСЬ КЛИЕНТА"), W),
        blank(W),
        rule(W),
        blank(W),
    };
    return joinEntries(entries);
}

QString BonusCredit::getBalanceSlip() const
{
    const int W = layoutWidth();
    const QStringList entries = {
        centerStr(header, W),
        blank(W),
        QStringLiteral("КЛИЕНТ:").leftJustified(W, QLatin1Char(' ')),
        nameBlock(),
        QStringLiteral("КАРТА:").leftJustified(W, QLatin1Char(' ')),
        cardId.rightJustified(W, QLatin1Char(' ')),
        QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:") + money(balance).rightJustified(W - 20, QLatin1Char(' '))
            + QStringLiteral(" RUR"),
        blank(W),
        dateTimeEntry(),
        blank(W),
    };
    return joinEntries(entries);
}
