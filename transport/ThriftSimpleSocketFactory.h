#ifndef THRIFTSIMPLESOCKETFACTORY_H
#define THRIFTSIMPLESOCKETFACTORY_H

#include "ThriftSocketFactory.h"

/*!
    Plain TCP sockets. A bad host name or port is only noticed when the
    socket is opened.
*/
class ThriftSimpleSocketFactory : public ThriftSocketFactory
{
public:
    std::shared_ptr<apache::thrift::transport::TSocket> createSocket(const QString &host,
                                                                     int port) override;
};

#endif // THRIFTSIMPLESOCKETFACTORY_H
