#include "BonusCreditProcessing.h"

#include "BonusCredit.h"
#include "TillPaths.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QVariantMap>

BonusCreditProcessing::BonusCreditProcessing(QObject *parent)
    : QObject(parent)
    , BasicPaymentProcessing()
    , logger("payment")
    , workDir(TillPaths::workDir())
    , engine(new BonusCredit(this))
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
    logger.info(QStringLiteral("Запуск процессинга"));

    const QString statusPath = workDir + TillPaths::statusFileName();
    const QString printPath = workDir + TillPaths::printFileName();
    QFile::remove(statusPath);
    QFile::remove(printPath);

    engine->run(operation, amount, cardNumber);

    QByteArray data;
    if (!readFile(statusPath, data)) {
        answer.setMessage(QStringLiteral("Ошибка чтения файла статуса операции."));
        return answer;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        answer.setMessage(QStringLiteral("Неверная структура ответа"));
        return answer;
    }

    const QVariantMap status = document.toVariant().toMap();
    bool ok = false;
    const int code = status.value(QStringLiteral("status")).toInt(&ok);
    if (!ok) {
        const QString text = QStringLiteral("Ошибка получения кода статуса.");
        logger.error(text);
        answer.setMessage(text);
        return answer;
    }

    if (code == BonusCredit::Success)
        answer.setSuccess(true);
    answer.setCode(code);
    answer.setMessage(status.value(QStringLiteral("description")).toString());
    answer.setCardNumber(status.value(QStringLiteral("cardNumber")).toString());

    logger.info(
        QStringLiteral("Код статуса: %1; Описание: %2; Номер карты: %3; Выполнено %4")
            .arg(QString::number(code), answer.getMessage(), answer.getCardNumber(),
                 answer.isSuccess() ? QStringLiteral("успешно") : QStringLiteral("с ошибкой")));

    if (readFile(printPath, data)) {
        const QString slip = QString::fromUtf8(data);
        answer.setPrintImages(QStringList {slip});
        logger.info(QStringLiteral("Слип: \"%1\"").arg(slip));
    }
    return answer;
}

bool BonusCreditProcessing::readFile(const QString &path, QByteArray &data)
{
    logger.debug(QStringLiteral("Чтение файла '%1'").arg(path));
    data.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        logger.error(QStringLiteral("Не удалось открыть файл '%1'").arg(path));
        return false;
    }
    data = file.readAll();
    file.close();
    return true;
}
