#ifndef NOSERVERAVAILABLE_H
#define NOSERVERAVAILABLE_H

#include <stdexcept>
#include <string>

/*!
    No configured endpoint accepted a connection: nothing was sent. A
    standard exception, not a Thrift one, so a caller that catches only
    Thrift's exceptions lets it pass.
*/
class NoServerAvailable : public std::runtime_error
{
public:
    explicit NoServerAvailable(const std::string &message)
        : std::runtime_error(message)
    {
    }
};

#endif // NOSERVERAVAILABLE_H
