#include "EndpointHealth.h"

#include "Limits.h"

#include <QDeadlineTimer>
#include <QHash>

#include <atomic>
#include <mutex>

namespace {

std::mutex lock;
std::atomic<int> restMs {Limits::endpointRestMs};

// When each endpoint's rest ends. Never destroyed: a probe's thread may
// report while the library's statics are being torn down.
QHash<QString, QDeadlineTimer> &restingEndpoints()
{
    static auto *endpoints = new QHash<QString, QDeadlineTimer>;
    return *endpoints;
}

QString key(const QString &host, int port)
{
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

void EndpointHealth::failed(const QString &host, int port)
{
    std::lock_guard<std::mutex> guard(lock);
    restingEndpoints().insert(key(host, port), QDeadlineTimer(restMs));
}

void EndpointHealth::connected(const QString &host, int port)
{
    std::lock_guard<std::mutex> guard(lock);
    restingEndpoints().remove(key(host, port));
}

bool EndpointHealth::resting(const QString &host, int port)
{
    std::lock_guard<std::mutex> guard(lock);
    return restingEndpoints().contains(key(host, port));
}

bool EndpointHealth::restEnded(const QString &host, int port)
{
    std::lock_guard<std::mutex> guard(lock);
    const auto found = restingEndpoints().constFind(key(host, port));
    return found != restingEndpoints().cend() && found->hasExpired();
}

void EndpointHealth::setRestMs(int ms)
{
    restMs = ms;
}
