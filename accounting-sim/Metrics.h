#ifndef METRICS_H
#define METRICS_H

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

/*!
    What the server counts for /metrics: calls by service, method and
    outcome with a histogram of their times, the requests being served now,
    and expiries. What is counted elsewhere comes with the Readings when the
    text is asked for: the ledger's errors and retries (Ledger), the pending
    transactions (read from the ledger), connections open and shed (each
    port's server). Thread-safe; a call costs a short lock.
*/
class Metrics
{
public:
    enum class Outcome { Ok, Refused, Error };
    enum class Expiry { Pending, Bonus };
    // What the text shows of things counted elsewhere, read when asked.
    struct Readings
    {
        struct Port
        {
            QString service;
            qint64 open = 0;
            quint64 shed = 0;
        };
        // -1: the ledger could not say.
        qint64 pending = -1;
        quint64 ledgerErrors = 0;
        quint64 ledgerRetries = 0;
        QVector<Port> ports;
    };

    // A request of `service` (the port's name) began.
    void started(const QString &service, const QString &method);
    // ...and ended, after `took`.
    void finished(const QString &service, const QString &method, Outcome outcome,
                  std::chrono::steady_clock::duration took);
    // "service.method" of each request being served now, oldest first.
    QStringList inFlight() const;

    void expired(Expiry what, int count);

    // Prometheus' text exposition format, version 0.0.4.
    QString text(const Readings &readings) const;

private:
    struct Calls
    {
        std::vector<quint64> buckets;
        quint64 count = 0;
        double seconds = 0;
    };

    mutable std::mutex m_lock;
    // "service\nmethod\noutcome" -> count; "service\nmethod" -> times.
    QMap<QString, quint64> m_calls;
    QMap<QString, Calls> m_times;
    QStringList m_inFlight;
    quint64 m_expired[2] = {0, 0};
};

#endif // METRICS_H
