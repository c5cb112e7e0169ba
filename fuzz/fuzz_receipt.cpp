// The receipt image: read as the engine reads it, and, for what it holds,
// written as payment-host writes it and read back unchanged.
#include "FuzzProcess.h"
#include "ReceiptImage.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace {
// Text that UTF-8 carries as it is: no lone surrogate from a JSON escape.
bool encodable(const QString &text)
{
    return QString::fromUtf8(text.toUtf8()) == text;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzProcess::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    bool ok = false;
    const ReceiptImage image = ReceiptImage::fromBytes(bytes, &ok);
    const int number = image.number();
    const QString cashCode = image.cashCode();
    const QString cashierCode = image.cashierCode();
    // An image that does not parse holds nothing an earlier one could lend.
    if (!ok && (number != 0 || !cashCode.isEmpty() || !cashierCode.isEmpty()))
        __builtin_trap();
    if (!encodable(cashCode) || !encodable(cashierCode))
        return 0;
    bool again = false;
    const ReceiptImage written
        = ReceiptImage::fromBytes(ReceiptImage::toBytes(number, cashCode, cashierCode), &again);
    if (!again || written.number() != number || written.cashCode() != cashCode
        || written.cashierCode() != cashierCode)
        __builtin_trap();
    return 0;
}
