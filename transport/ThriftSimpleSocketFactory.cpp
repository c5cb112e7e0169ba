#include "ThriftSimpleSocketFactory.h"

std::shared_ptr<apache::thrift::transport::TSocket>
ThriftSimpleSocketFactory::createSocket(const QString &host, int port)
{
    return std::make_shared<apache::thrift::transport::TSocket>(host.toLocal8Bit().toStdString(),
                                                                port);
}
