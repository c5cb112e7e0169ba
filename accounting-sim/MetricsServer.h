#ifndef METRICSSERVER_H
#define METRICSSERVER_H

#include "Metrics.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace httplib {
class Server;
}

class Ledger;

/*!
    GET /healthz and GET /metrics over HTTP, on an address of its own, with
    cpp-httplib and two threads.

    /healthz answers 200 "ok" while the ledger answers, and 503 with the
    reason when it does not: it begins a writing transaction and rolls it
    back, so a SQLite ledger whose write lock another process holds is
    unhealthy too, not only a database that is down. `probe` is a ledger of
    its own with a short request deadline, so a check never waits long.
    /metrics is Metrics' text, with the pending transactions read from the
    ledger.
*/
class MetricsServer
{
public:
    // `ports` reads each port's connections when /metrics is asked for.
    MetricsServer(Metrics &metrics, Ledger &probe,
                  std::function<QVector<Metrics::Readings::Port>()> ports);
    ~MetricsServer();
    MetricsServer(const MetricsServer &) = delete;
    MetricsServer &operator=(const MetricsServer &) = delete;

    // Binds the address (port 0: any free one); false with the reason.
    bool bind(const QString &host, quint16 port, QString &error);
    quint16 port() const { return m_port; }
    // Serves on a thread of its own until stop().
    void start();
    void stop();

private:
    Metrics &m_metrics;
    Ledger &m_probe;
    const std::function<QVector<Metrics::Readings::Port>()> m_ports;
    std::unique_ptr<httplib::Server> m_server;
    quint16 m_port = 0;
    std::atomic<bool> m_done {false};
    std::thread m_thread;
};

#endif // METRICSSERVER_H
