#ifndef THRIFTSOCKETFACTORY_H
#define THRIFTSOCKETFACTORY_H

#include <QString>

#include <memory>

#include <thrift/transport/TSocket.h>

/*!
    Makes the sockets a ThriftTransportProvider dials, so one endpoint list
    serves plain TCP and TLS alike. A factory only makes the socket object:
    it neither resolves nor connects.
*/
class ThriftSocketFactory
{
public:
    virtual ~ThriftSocketFactory() = default;
    virtual std::shared_ptr<apache::thrift::transport::TSocket> createSocket(const QString &host,
                                                                             int port)
        = 0;
};

#endif // THRIFTSOCKETFACTORY_H
