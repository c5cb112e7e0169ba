#include "AllowAccessManager.h"

using apache::thrift::transport::AccessManager;

AccessManager::Decision AllowAccessManager::verify(const sockaddr_storage &) noexcept
{
    return ALLOW;
}

AccessManager::Decision AllowAccessManager::verify(const std::string &, const char *, int) noexcept
{
    return ALLOW;
}

AccessManager::Decision AllowAccessManager::verify(const sockaddr_storage &, const char *,
                                                   int) noexcept
{
    return ALLOW;
}
