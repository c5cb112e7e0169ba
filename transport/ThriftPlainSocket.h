#ifndef THRIFTPLAINSOCKET_H
#define THRIFTPLAINSOCKET_H

#include <thrift/transport/TSocket.h>

/*!
    A plain TCP socket that connects to a numeric address without asking the
    resolver anything. Thrift's own open() looks the host up with
    AI_ADDRCONFIG, which makes the C library list the machine's interfaces
    over netlink on every connection, even for "127.0.0.1". A host name
    still goes through Thrift's lookup.
*/
class ThriftPlainSocket : public apache::thrift::transport::TSocket
{
public:
    ThriftPlainSocket(const std::string &host, int port);

    void open() override;
};

#endif // THRIFTPLAINSOCKET_H
