#include "BonusCreditProcessing.h"

#include "BonusCredit.h"
#include "CardNumberMask.h"
#include "Limits.h"
#include "LogSetup.h"
#include "TillLock.h"
#include "TillPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QScopeGuard>
#include <QVariantMap>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

BonusCreditProcessing::BonusCreditProcessing(QObject *parent)
    : QObject(parent)
    , BasicPaymentProcessing()
    , logger("payment")
    , engine(new BonusCredit(this))
    , lock(TillPaths::lockFile())
{
    setOption(EPaymentProcessingOption::Enabled, true);
}

BonusCreditProcessing::~BonusCreditProcessing() = default;

bool BonusCreditProcessing::isPaymentEnable(EPaymentProcessingRequest::Type type) const
{
    return type == EPaymentProcessingRequest::Sale || type == EPaymentProcessingRequest::Refund;
}

bool BonusCreditProcessing::isCancelEnable(EPaymentProcessingRequest::Type type) const
{
    return type == EPaymentProcessingRequest::Sale;
}

bool BonusCreditProcessing::isCheckTotalsEnable() const
{
    return false;
}

PaymentProcessingAnswer BonusCreditProcessing::payment(const PaymentProcessingRequest &request)
{
    PaymentProcessingAnswer answer;
    if (request.type != EPaymentProcessingRequest::Sale
        && request.type != EPaymentProcessingRequest::Refund)
        return answer;

    answer = execute(request.type, request.amount, request.cardNumber);

    // The till prints each image as one document: the payment slip twice.
    QStringList images = answer.getPrintImages();
    if (!images.isEmpty()) {
        images.append(images.first());
        answer.setPrintImages(images);
    }
    return answer;
}

PaymentProcessingAnswer BonusCreditProcessing::cancel(const PaymentProcessingRequest &request)
{
    return execute(BonusCredit::Cancel, request.amount, request.cardNumber);
}

PaymentProcessingAnswer BonusCreditProcessing::balance(const QString &cardNumber)
{
    return execute(BonusCredit::Balance, 0, cardNumber);
}

PaymentProcessingAnswer BonusCreditProcessing::execute(int operation, int amount,
                                                       const QString &cardNumber)
{
    PaymentProcessingAnswer answer;
    // The run's log lines go out together, once it has its answer.
    const auto flushLog = qScopeGuard([] { LogSetup::flush(); });
    // Before the first line that could hold it.
    CardNumberMask::remember(cardNumber);
    logger.info(QStringLiteral("Запуск процессинга"));

    // One run at a time on this till tree, from the start of the run until
    // its answer is read back: another process's status is never taken
    // for ours.
    if (!lockWorkDir())
        return failure(busyText());
    const auto unlock = qScopeGuard([this] { lock.release(); });

    removeRunFiles();

    // A run that failed to finish leaves no status of its own, which the
    // reading below reports.
    guarded([&] { engine->run(operation, amount, cardNumber); });

    // The files this run wrote, wherever the settings put them. What the run
    // meant them to hold decides when they hold something else (an old
    // answer left in a directory that turned read-only) or nothing.
    QByteArray data;
    const QByteArray written = engine->writtenStatus();
    if (!readFile(engine->statusPath(), data) || data != written) {
        if (written.isEmpty())
            return failure(QStringLiteral("Ошибка чтения файла статуса операции."));
        logger.error(QStringLiteral("Файл статуса '%1' не содержит ответа этой операции")
                         .arg(engine->statusPath()));
        data = written;
    }

    // Parsed only when it is not simply the run's own status text, whose
    // fields the engine still holds.
    int code = 0;
    QString description;
    QString number;
    if (!engine->writtenStatusFields(code, description, number)) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(data, &error);
        if (error.error != QJsonParseError::NoError)
            return failure(QStringLiteral("Неверная структура ответа"));
        const QVariantMap status = document.toVariant().toMap();
        bool ok = false;
        code = status.value(QStringLiteral("status")).toInt(&ok);
        if (!ok) {
            const QString text = QStringLiteral("Ошибка получения кода статуса.");
            logger.error(text);
            return failure(text);
        }
        description = status.value(QStringLiteral("description")).toString();
        number = status.value(QStringLiteral("cardNumber")).toString();
    }

    if (code == BonusCredit::Success)
        answer.setSuccess(true);
    answer.setCode(code);
    answer.setMessage(description);
    answer.setCardNumber(number);

    logger.info(
        QStringLiteral("Код статуса: %1; Описание: %2; Номер карты: %3; Выполнено %4")
            .arg(QString::number(code), answer.getMessage(), answer.getCardNumber(),
                 answer.isSuccess() ? QStringLiteral("успешно") : QStringLiteral("с ошибкой")));

    const bool printRead = readFile(engine->printPath(), data);
    if (engine->hasPrint()) {
        if (!printRead || data != engine->writtenPrint()) {
            logger.error(QStringLiteral("Файл слипа '%1' не содержит слипа этой операции")
                             .arg(engine->printPath()));
            data = engine->writtenPrint();
        }
        const QString slip = QString::fromUtf8(data);
        answer.setPrintImages(QStringList {slip});
        logger.info(QStringLiteral("Слип: \"%1\"").arg(slip));
    }
    return answer;
}

void BonusCreditProcessing::removeRunFiles()
{
    // The pair in the work directory, where the settings put them by
    // default, and where the last good settings put them: no answer of an
    // earlier run is left where this one may answer. This run's settings
    // are read by the run itself.
    const EffectiveSettings &last = engine->settings();
    QStringList paths {TillPaths::statusFile(), TillPaths::printFile()};
    for (const QString &path : {last.statusFile, last.printFile}) {
        if (!paths.contains(path))
            paths << path;
    }
    // Whether they were there does not matter.
    for (const QString &path : qAsConst(paths))
        ::unlink(QFile::encodeName(path).constData());
}

template<typename Report> QByteArray BonusCreditProcessing::locked(Report report)
{
    const auto flushLog = qScopeGuard([] { LogSetup::flush(); });
    if (!lockWorkDir())
        return QJsonDocument(QJsonObject {{QStringLiteral("settled"), QJsonArray()},
                                          {QStringLiteral("unsettled"), QJsonArray()},
                                          {QStringLiteral("error"), busyText()}})
            .toJson(QJsonDocument::Compact);
    const auto unlock = qScopeGuard([this] { lock.release(); });
    QByteArray answer;
    if (!guarded([&] { answer = report(); }))
        answer = QJsonDocument(QJsonObject {{QStringLiteral("settled"), QJsonArray()},
                                            {QStringLiteral("unsettled"), QJsonArray()},
                                            {QStringLiteral("error"), crashText()}})
                     .toJson(QJsonDocument::Compact);
    return answer;
}

bool BonusCreditProcessing::guarded(const std::function<void()> &call)
{
    try {
        call();
        return true;
    } catch (const std::exception &e) {
        logger.error(crashText() + QStringLiteral(": ") + QString::fromUtf8(e.what()));
    } catch (...) {
        logger.error(crashText());
    }
    return false;
}

QByteArray BonusCreditProcessing::recover()
{
    return locked([this] { return engine->recover(); });
}

QByteArray BonusCreditProcessing::forget(qlonglong id)
{
    return locked([this, id] { return engine->forget(id); });
}

QByteArray BonusCreditProcessing::resetJournal()
{
    return locked([this] { return engine->resetJournal(); });
}

PaymentProcessingAnswer BonusCreditProcessing::failure(const QString &message)
{
    // A till that reads the code must never take the plug-in's own failure
    // for a payment: 0 is success.
    PaymentProcessingAnswer answer;
    answer.setCode(BonusCredit::Failure);
    answer.setMessage(message);
    return answer;
}

QByteArray BonusCreditProcessing::check(const QString &cardNumber)
{
    return check(cardNumber, false);
}

QByteArray BonusCreditProcessing::check(const QString &cardNumber, bool fullCardNumbers)
{
    const auto flushLog = qScopeGuard([] { LogSetup::flush(); });
    CardNumberMask::remember(cardNumber);
    // Without the lock the journal rows are still worth having. The lock's
    // file is made by the first run, not by a check.
    const bool locked = QFileInfo::exists(TillPaths::lockFile()) && lockWorkDir();
    QByteArray answer;
    if (!guarded([&] { answer = engine->check(cardNumber, fullCardNumbers); }))
        answer = QJsonDocument(QJsonObject {{QStringLiteral("ok"), false},
                                            {QStringLiteral("rows"), QJsonArray()}})
                     .toJson(QJsonDocument::Compact);
    if (locked)
        lock.release();
    return answer;
}

bool BonusCreditProcessing::lockWorkDir()
{
    if (lock.acquire(Limits::lockWaitMs))
        return true;
    logger.error(busyText() + QStringLiteral(": ") + lock.errorString());
    return false;
}

QString BonusCreditProcessing::crashText()
{
    return QStringLiteral("Сбой модуля");
}

QString BonusCreditProcessing::busyText()
{
    return QStringLiteral("Рабочий каталог занят или недоступен");
}

bool BonusCreditProcessing::readFile(const QString &path, QByteArray &data)
{
    logger.debug(QStringLiteral("Чтение файла '%1'").arg(path));
    data.clear();
    // Plain reads: these small files are read twice a run, and QFile asks
    // the file system about them three times more on every open.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        logger.error(QStringLiteral("Не удалось открыть файл '%1'").arg(path));
        return false;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        data.append(buffer, int(got));
    }
    ::close(fd);
    return true;
}
