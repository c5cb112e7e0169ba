#include "ReceiptImage.h"

#include "JsonText.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

ReceiptImage ReceiptImage::fromBytes(const QByteArray &bytes, bool *ok)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    ReceiptImage image;
    // A top-level array is JSON too; it holds none of the values.
    image.values = document.toVariant().toMap();
    if (ok)
        *ok = error.error == QJsonParseError::NoError;
    return image;
}

ReceiptImage ReceiptImage::read(const QString &path, bool *ok)
{
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (ok)
            *ok = false;
        return ReceiptImage();
    }
    return fromBytes(file.readAll(), ok);
}

QByteArray ReceiptImage::toBytes(int number, const QString &cashCode, const QString &cashierCode)
{
    QByteArray image = "{\"num\":" + QByteArray::number(number) + ",\"cashCode\":";
    JsonText::appendQuoted(image, cashCode);
    image += ",\"cashierCode\":";
    JsonText::appendQuoted(image, cashierCode);
    image += '}';
    return image;
}

int ReceiptImage::number() const
{
    return values.value(QStringLiteral("num")).toInt();
}

QString ReceiptImage::cashCode() const
{
    return values.value(QStringLiteral("cashCode")).toString();
}

QString ReceiptImage::cashierCode() const
{
    return values.value(QStringLiteral("cashierCode")).toString();
}
