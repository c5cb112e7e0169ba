#ifndef ENDPOINTHEALTH_H
#define ENDPOINTHEALTH_H

#include <QString>

/*!
    What the process remembers of endpoints that would not connect. Each
    operation makes a provider of its own, with fresh failure counts; without
    this, a dead first server would cost its whole connect limit on every
    call. An endpoint whose connection attempt failed slowly (its packets
    dropped, so the connect limit ran out) goes behind the others among
    equals, and stays there until a connection to it succeeds: after a rest
    (Limits::endpointRestMs) a probe in the background tries it
    (EndpointProbe), so that no cashier waits to learn it is still dead.
    A probe that fails starts a new rest. Thread-safe.
*/
class EndpointHealth
{
public:
    static void failed(const QString &host, int port);
    static void connected(const QString &host, int port);
    // Behind the others: failed slowly, and nothing connected to it since.
    static bool resting(const QString &host, int port);
    // Resting, and its rest is over: time to probe it.
    static bool restEnded(const QString &host, int port);

    // How long a rest lasts: Limits::endpointRestMs unless set (tests
    // shorten it).
    static void setRestMs(int ms);
};

#endif // ENDPOINTHEALTH_H
