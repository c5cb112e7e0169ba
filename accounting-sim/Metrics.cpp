#include "Metrics.h"

namespace {

// Upper bounds of the time buckets, in seconds: a balance answers in well
// under a millisecond, a request runs out at its deadline (10 s by default).
const double bounds[]
    = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
constexpr int boundCount = int(sizeof bounds / sizeof bounds[0]);

QString outcomeName(Metrics::Outcome outcome)
{
    switch (outcome) {
    case Metrics::Outcome::Ok:
        return QStringLiteral("ok");
    case Metrics::Outcome::Refused:
        return QStringLiteral("refused");
    case Metrics::Outcome::Error:
        return QStringLiteral("error");
    }
    return QString();
}

QString number(double value)
{
    return QString::number(value, 'g', 12);
}

void header(QString &text, const char *name, const char *type, const char *help)
{
    text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
}

} // namespace

void Metrics::started(const QString &service, const QString &method)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_inFlight.append(service + QLatin1Char('.') + method);
}

void Metrics::finished(const QString &service, const QString &method, Outcome outcome,
                       std::chrono::steady_clock::duration took)
{
    const double seconds = std::chrono::duration<double>(took).count();
    const QString call = service + QLatin1Char('\n') + method;
    std::lock_guard<std::mutex> guard(m_lock);
    m_inFlight.removeOne(service + QLatin1Char('.') + method);
    ++m_calls[call + QLatin1Char('\n') + outcomeName(outcome)];
    Calls &times = m_times[call];
    if (times.buckets.empty())
        times.buckets.assign(boundCount, 0);
    for (int i = 0; i < boundCount; ++i) {
        if (seconds <= bounds[i])
            ++times.buckets[size_t(i)];
    }
    ++times.count;
    times.seconds += seconds;
}

QStringList Metrics::inFlight() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_inFlight;
}

void Metrics::expired(Expiry what, int count)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_expired[what == Expiry::Pending ? 0 : 1] += quint64(count);
}

QString Metrics::text(const Readings &readings) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    QString text;
    header(text, "accounting_sim_calls_total", "counter",
           "Calls answered, by service, method and outcome (ok, refused, error).");
    for (auto it = m_calls.cbegin(); it != m_calls.cend(); ++it) {
        const QStringList key = it.key().split(QLatin1Char('\n'));
        text += QStringLiteral("accounting_sim_calls_total{service=\"%1\",method=\"%2\","
                               "outcome=\"%3\"} %4\n")
                    .arg(key.at(0), key.at(1), key.at(2), QString::number(it.value()));
    }
    header(text, "accounting_sim_call_seconds", "histogram",
           "Time from a call's request to its answer, by service and method.");
    for (auto it = m_times.cbegin(); it != m_times.cend(); ++it) {
        const QStringList key = it.key().split(QLatin1Char('\n'));
        const QString labels
            = QStringLiteral("service=\"%1\",method=\"%2\"").arg(key.at(0), key.at(1));
        for (int i = 0; i < boundCount; ++i)
            text += QStringLiteral("accounting_sim_call_seconds_bucket{%1,le=\"%2\"} %3\n")
                        .arg(labels, number(bounds[i]), QString::number(it->buckets[size_t(i)]));
        text += QStringLiteral("accounting_sim_call_seconds_bucket{%1,le=\"+Inf\"} %2\n")
                    .arg(labels, QString::number(it->count));
        text += QStringLiteral("accounting_sim_call_seconds_sum{%1} %2\n")
                    .arg(labels, number(it->seconds));
        text += QStringLiteral("accounting_sim_call_seconds_count{%1} %2\n")
                    .arg(labels, QString::number(it->count));
    }
    header(text, "accounting_sim_requests_in_flight", "gauge", "Requests being served now.");
    text += QStringLiteral("accounting_sim_requests_in_flight %1\n").arg(m_inFlight.size());
    if (readings.pending >= 0) {
        header(text, "accounting_sim_pending_transactions", "gauge",
               "Transactions waiting for their commit or rollback.");
        text += QStringLiteral("accounting_sim_pending_transactions %1\n").arg(readings.pending);
    }
    header(text, "accounting_sim_open_connections", "gauge", "Connections open, by service.");
    for (const Readings::Port &port : readings.ports)
        text += QStringLiteral("accounting_sim_open_connections{service=\"%1\"} %2\n")
                    .arg(port.service, QString::number(port.open));
    header(text, "accounting_sim_shed_connections_total", "counter",
           "Connections closed to make room or refused at a cap, by service.");
    for (const Readings::Port &port : readings.ports)
        text += QStringLiteral("accounting_sim_shed_connections_total{service=\"%1\"} %2\n")
                    .arg(port.service, QString::number(port.shed));
    header(text, "accounting_sim_ledger_errors_total", "counter",
           "Ledger operations that failed, after their retries.");
    text += QStringLiteral("accounting_sim_ledger_errors_total %1\n").arg(readings.ledgerErrors);
    header(text, "accounting_sim_ledger_retries_total", "counter",
           "Ledger operations tried again after a conflict or a lost connection.");
    text += QStringLiteral("accounting_sim_ledger_retries_total %1\n").arg(readings.ledgerRetries);
    header(text, "accounting_sim_expiries_total", "counter",
           "Pending transactions rolled back at their time to live, and bonus lots expired.");
    text
        += QStringLiteral("accounting_sim_expiries_total{what=\"pending\"} %1\n").arg(m_expired[0]);
    text += QStringLiteral("accounting_sim_expiries_total{what=\"bonus\"} %1\n").arg(m_expired[1]);
    return text;
}
