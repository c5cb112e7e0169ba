#ifndef THRIFTSOCKETFACTORY_H
#define THRIFTSOCKETFACTORY_H

#include <QString>

#include <memory>
#include <typeinfo>

#include <thrift/transport/TSocket.h>

namespace apache::thrift::transport {
class SSLContext;
}

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

    // What the sockets are made with, as far as it matters to a peer: a
    // connection kept open is only used again by a factory with the same
    // key. Factories of one type make alike sockets unless they say
    // otherwise.
    virtual QString connectionKey() const { return QString::fromLatin1(typeid(*this).name()); }

    // The TLS context the sockets are made with, for a handshake of the
    // factory's kind outside Thrift (EndpointProbe); null for plain TCP.
    virtual std::shared_ptr<apache::thrift::transport::SSLContext> tlsContext() { return nullptr; }
};

#endif // THRIFTSOCKETFACTORY_H
