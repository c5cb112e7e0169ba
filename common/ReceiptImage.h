#ifndef RECEIPTIMAGE_H
#define RECEIPTIMAGE_H

#include <QByteArray>
#include <QString>
#include <QVariantMap>

/*!
    The receipt image the till writes before a payment or a cancel: a JSON
    object whose "num" (the receipt number), "cashCode" (the cash desk) and
    "cashierCode" reach the slip and the cashier lookup. Other keys are kept
    and not read. This is the one place that knows the format: the plug-in
    reads it, payment-host writes it.

    Invariant: a value read is whatever the bytes held, converted as Qt
    converts a JSON value (a number as text reads as a number, anything
    unusable as 0 or empty); nothing of an earlier image survives a read.
*/
class ReceiptImage
{
public:
    ReceiptImage() = default;

    // The image in `bytes`; `ok` says whether they were JSON. Bytes that are
    // not give an empty image, so that no earlier value is mistaken for it.
    static ReceiptImage fromBytes(const QByteArray &bytes, bool *ok = nullptr);
    // The image in the file at `path`; `ok` false when it is missing, cannot
    // be read, or is not JSON.
    static ReceiptImage read(const QString &path, bool *ok = nullptr);
    // The bytes of an image, keys in the order the till writes them.
    static QByteArray toBytes(int number, const QString &cashCode, const QString &cashierCode);

    int number() const;
    QString cashCode() const;
    QString cashierCode() const;

private:
    QVariantMap values;
};

#endif // RECEIPTIMAGE_H
