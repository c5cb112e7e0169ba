#ifndef TLSERROR_H
#define TLSERROR_H

#include <stdexcept>
#include <string>

/*!
    The TLS files cannot be used (missing, unreadable, a key that is not the
    certificate's, a list with no CRL in it); what() names the file and
    OpenSSL's reason.
*/
class TlsError : public std::runtime_error
{
public:
    explicit TlsError(const std::string &reason)
        : std::runtime_error(reason)
    {
    }
};

#endif // TLSERROR_H
