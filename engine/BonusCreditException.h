#ifndef BONUSCREDITEXCEPTION_H
#define BONUSCREDITEXCEPTION_H

#include <QString>

#include <stdexcept>

// A failure that ends an operation; what() is the cashier's message.
class BonusCreditException : public std::runtime_error
{
public:
    explicit BonusCreditException(const QString &message)
        : std::runtime_error(message.toLocal8Bit().toStdString())
    {
    }
};

#endif // BONUSCREDITEXCEPTION_H
