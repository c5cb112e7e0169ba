#include "EndpointHealth.h"

#include "Limits.h"

#include <QDeadlineTimer>
#include <QHash>

#include <mutex>

namespace {

std::mutex lock;

// When each endpoint may be tried first again.
QHash<QString, QDeadlineTimer> &restingEndpoints()
{
    static QHash<QString, QDeadlineTimer> endpoints;
    return endpoints;
}

QString key(const QString &host, int port)
{
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

void EndpointHealth::failed(const QString &host, int port)
{
    std::lock_guard<std::mutex> guard(lock);
    restingEndpoints().insert(key(host, port), QDeadlineTimer(Limits::endpointRestMs));
}

void EndpointHealth::connected(const QString &host, int port)
{
    std::lock_guard<std::mutex> guard(lock);
    restingEndpoints().remove(key(host, port));
}

bool EndpointHealth::resting(const QString &host, int port)
{
    std::lock_guard<std::mutex> guard(lock);
    const auto found = restingEndpoints().constFind(key(host, port));
    return found != restingEndpoints().cend() && !found->hasExpired();
}
