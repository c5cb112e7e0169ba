#ifndef USAGEERROR_H
#define USAGEERROR_H

#include <stdexcept>
#include <string>

/*!
    A command line that cannot be used; what() is the one-line reason shown
    on stderr.
*/
class UsageError : public std::runtime_error
{
public:
    explicit UsageError(const std::string &reason)
        : std::runtime_error(reason)
    {
    }
};

#endif // USAGEERROR_H
