#include "MetricsServer.h"

#include "Ledger.h"
#include "LedgerError.h"

#include <httplib.h>

namespace {

// Scrapes and probes are small and rare; two threads serve them.
constexpr int threads = 2;
constexpr time_t timeoutSeconds = 5;

} // namespace

MetricsServer::MetricsServer(Metrics &metrics, Ledger &probe,
                             std::function<QVector<Metrics::Readings::Port>()> ports)
    : m_metrics(metrics)
    , m_probe(probe)
    , m_ports(std::move(ports))
    , m_server(std::make_unique<httplib::Server>())
{
    m_server->new_task_queue = [] { return new httplib::ThreadPool(threads); };
    m_server->set_read_timeout(timeoutSeconds);
    m_server->set_write_timeout(timeoutSeconds);
    m_server->set_keep_alive_timeout(timeoutSeconds);
    m_server->set_payload_max_length(1024);

    m_server->Get("/healthz", [this](const httplib::Request &, httplib::Response &response) {
        try {
            m_probe.transact([] {
                Ledger::select(QStringLiteral("cannot read the ledger"), QStringLiteral("SELECT 1"),
                               {}, 1);
                return false;
            });
            response.set_content("ok\n", "text/plain; charset=utf-8");
        } catch (const LedgerError &e) {
            response.status = 503;
            response.set_content(std::string("ledger: ") + e.what() + "\n",
                                 "text/plain; charset=utf-8");
        }
    });
    m_server->Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
        Metrics::Readings readings;
        try {
            m_probe.read([&] {
                readings.pending
                    = Ledger::count(QStringLiteral("cannot count the pending transactions"),
                                    QStringLiteral("SELECT COUNT(*) FROM transactions"
                                                   " WHERE state = 'pending'"));
            });
        } catch (const LedgerError &) {
            // The gauge is left out; /healthz says why.
            readings.pending = -1;
        }
        readings.ledgerErrors = Ledger::failures();
        readings.ledgerRetries = Ledger::retries();
        readings.ports = m_ports();
        response.set_content(m_metrics.text(readings).toStdString(),
                             "text/plain; version=0.0.4; charset=utf-8");
    });
}

MetricsServer::~MetricsServer()
{
    stop();
}

bool MetricsServer::bind(const QString &host, quint16 port, QString &error)
{
    const std::string address = host.toStdString();
    if (port == 0) {
        const int bound = m_server->bind_to_any_port(address);
        if (bound > 0)
            m_port = quint16(bound);
    } else if (m_server->bind_to_port(address, port)) {
        m_port = port;
    }
    if (m_port == 0)
        error = QStringLiteral("cannot listen on %1:%2 for metrics").arg(host).arg(port);
    return m_port != 0;
}

void MetricsServer::start()
{
    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        // The pool's threads end with listen: their ledger connections go with them.
        m_done = true;
    });
}

void MetricsServer::stop()
{
    if (!m_thread.joinable())
        return;
    // httplib's stop() does nothing before its loop has begun.
    while (!m_done && !m_server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_server->stop();
    m_thread.join();
}
