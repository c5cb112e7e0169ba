#ifndef BONUSCREDITEXCEPTION_H
#define BONUSCREDITEXCEPTION_H

#include <QString>
#include <QStringList>

#include <stdexcept>

/*!
    A failure that ends an operation in the engine. Its kind says what went
    wrong; the cashier's text is made from the kind and the detail in one
    place, messageOf(), and what() gives that text in UTF-8.
*/
class BonusCreditException : public std::runtime_error
{
public:
    enum class Kind {
        // The text is the detail, as given.
        Other,
        // Before anything is sent: the slip the run emptied stays.
        InvalidOperation,
        InvalidAmount,
        Settings,
        StatusFile, // detail: the path
        PrintFile, // detail: the path
        ReceiptImage,
        Database, // detail: the driver's words
        JournalUnavailable,
        // During the operation: no slip.
        CardNotFound,
        ClientNotFound,
        CashierNotFound,
        OverLimit, // detail: the balance, as the slip shows money
        Server, // detail: the server's or the client's text
        Journal,
    };

    BonusCreditException(Kind kind, const QString &detail = QString());
    explicit BonusCreditException(const QString &message);

    Kind kind() const { return m_kind; }
    QString detail() const { return m_detail; }

    // The cashier's text for a failure.
    static QString messageOf(Kind kind, const QString &detail);
    // What the log says of a failure at error level, line by line: the
    // cashier's text and what only the log needs.
    static QStringList logLinesOf(Kind kind, const QString &detail);
    // Whether the slip file the run emptied stays after the failure.
    static bool keepsEmptiedSlip(Kind kind);

private:
    Kind m_kind;
    QString m_detail;
};

#endif // BONUSCREDITEXCEPTION_H
