#include "ThriftSimpleSocketFactory.h"

#include "ThriftPlainSocket.h"

std::shared_ptr<apache::thrift::transport::TSocket>
ThriftSimpleSocketFactory::createSocket(const QString &host, int port)
{
    return std::make_shared<ThriftPlainSocket>(host.toLocal8Bit().toStdString(), port);
}
