#ifndef BONUSSYSTEMERROR_H
#define BONUSSYSTEMERROR_H

#include <QString>

#include <stdexcept>

// Every failure of the bonus client; what() is the cashier's message.
class BonusSystemError : public std::runtime_error
{
public:
    explicit BonusSystemError(const QString &message)
        : std::runtime_error(message.toLocal8Bit().toStdString())
    {
    }
};

#endif // BONUSSYSTEMERROR_H
