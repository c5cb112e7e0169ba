#include "ThriftOutput.h"

#include "Logger.h"

#include <QString>

#include <mutex>

#include <thrift/TOutput.h>

namespace {

std::mutex lock;
int users = 0;

void toLog(const char *message)
{
    static const Logger logger("thrifttransportprovider");
    logger.error(QStringLiteral("thrift: ") + QString::fromLocal8Bit(message));
}

} // namespace

void ThriftOutput::capture()
{
    std::lock_guard<std::mutex> guard(lock);
    if (users++ == 0)
        apache::thrift::GlobalOutput.setOutputFunction(toLog);
}

void ThriftOutput::release()
{
    std::lock_guard<std::mutex> guard(lock);
    if (users > 0 && --users == 0)
        apache::thrift::GlobalOutput.setOutputFunction(apache::thrift::TOutput::errorTimeWrapper);
}
