#include "BonusCreditException.h"

BonusCreditException::BonusCreditException(Kind kind, const QString &detail)
    : std::runtime_error(messageOf(kind, detail).toUtf8().toStdString())
    , m_kind(kind)
    , m_detail(detail)
{
}

BonusCreditException::BonusCreditException(const QString &message)
    : BonusCreditException(Kind::Other, message)
{
}

QString BonusCreditException::messageOf(Kind kind, const QString &detail)
{
    switch (kind) {
    case Kind::Other:
    case Kind::Server:
        return detail;
    case Kind::InvalidOperation:
        return QStringLiteral("Недопустимая операция");
    case Kind::InvalidAmount:
        return QStringLiteral("Недопустимая сумма");
    case Kind::Settings:
        return QStringLiteral("Ошибка в файле настроек");
    case Kind::StatusFile:
        return QStringLiteral("Не удалось записать файл статуса операции");
    case Kind::PrintFile:
        return QStringLiteral("Не удалось записать файл слипа");
    case Kind::ReceiptImage:
        return QStringLiteral("Неверный формат образа чека");
    case Kind::Database:
        return QStringLiteral("Не удалось подключиться к БД");
    case Kind::JournalUnavailable:
    case Kind::Journal:
        return QStringLiteral("Не удалось записать журнал операций");
    case Kind::CardNotFound:
        return QStringLiteral("Карта не найдена");
    case Kind::ClientNotFound:
        return QStringLiteral("Клиент не найден");
    case Kind::CashierNotFound:
        return QStringLiteral("Кассир не найден!");
    case Kind::OverLimit:
        return QStringLiteral("Для оплаты доступно %1").arg(detail);
    }
    return detail;
}

QStringList BonusCreditException::logLinesOf(Kind kind, const QString &detail)
{
    const QString text = messageOf(kind, detail);
    switch (kind) {
    case Kind::StatusFile:
    case Kind::PrintFile:
        return {QStringLiteral("%1 '%2'").arg(text, detail)};
    case Kind::Database:
        // The driver's own words, for whoever reads the log.
        return {text, QStringLiteral("Ошибка драйвера БД: ") + detail};
    case Kind::Journal:
        return {detail, text};
    default:
        return {text};
    }
}

bool BonusCreditException::keepsEmptiedSlip(Kind kind)
{
    switch (kind) {
    case Kind::InvalidOperation:
    case Kind::InvalidAmount:
    case Kind::Settings:
    case Kind::StatusFile:
    case Kind::PrintFile:
    case Kind::ReceiptImage:
    case Kind::Database:
    case Kind::JournalUnavailable:
        return true;
    case Kind::Other:
    case Kind::CardNotFound:
    case Kind::ClientNotFound:
    case Kind::CashierNotFound:
    case Kind::OverLimit:
    case Kind::Server:
    case Kind::Journal:
        break;
    }
    return false;
}
