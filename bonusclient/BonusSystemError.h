#ifndef BONUSSYSTEMERROR_H
#define BONUSSYSTEMERROR_H

#include <QString>

#include <stdexcept>

/*!
    Every failure of the bonus client; what() is the cashier's message in
    UTF-8, and the kind says what happened, so that no caller has to read
    the text to decide.
*/
class BonusSystemError : public std::runtime_error
{
public:
    enum class Kind {
        // The server answered no; the message is its description.
        Refused,
        // No readable answer: the server may have carried the call out
        // (BonusServerUnavailable).
        Unavailable,
        // The settings file cannot configure the client.
        Settings,
        // The server answered something that cannot be used.
        BadAnswer,
    };

    explicit BonusSystemError(const QString &message, Kind kind = Kind::Refused)
        : std::runtime_error(message.toUtf8().toStdString())
        , m_kind(kind)
    {
    }

    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

#endif // BONUSSYSTEMERROR_H
