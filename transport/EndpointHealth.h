#ifndef ENDPOINTHEALTH_H
#define ENDPOINTHEALTH_H

#include <QString>

/*!
    What the process remembers of endpoints that would not connect. Each
    operation makes a provider of its own, with fresh failure counts; without
    this, a dead first server would cost its whole connect limit on every
    call. An endpoint whose connection attempt failed slowly (its packets
    dropped, so the connect limit ran out) goes behind the others among
    equals for a while (Limits::endpointRestMs), then gets its turn again.
    Thread-safe.
*/
class EndpointHealth
{
public:
    static void failed(const QString &host, int port);
    static void connected(const QString &host, int port);
    static bool resting(const QString &host, int port);
};

#endif // ENDPOINTHEALTH_H
