#include "ThriftPlainSocket.h"

#include <thrift/transport/TTransportException.h>

#include <memory>
#include <string>

#include <netdb.h>
#include <sys/socket.h>

using apache::thrift::transport::TTransportException;

ThriftPlainSocket::ThriftPlainSocket(const std::string &host, int port)
    : TSocket(host, port)
{
}

void ThriftPlainSocket::open()
{
    if (isOpen())
        return;
    if (port_ < 0 || port_ > 0xFFFF)
        throw TTransportException(TTransportException::BAD_ARGS, "Specified port is invalid");

    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &found) != 0) {
        // Not a numeric address: a name for the resolver.
        TSocket::open();
        return;
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo *)> addresses(found, freeaddrinfo);
    try {
        openConnection(found);
    } catch (const TTransportException &) {
        close();
        throw;
    }
}
