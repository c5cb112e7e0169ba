#include "Load.h"

#include "AccountingLogicService.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using accounting::logic::thriftapi::AccountingLogicServiceClient;
using accounting::logic::thriftapi::Result;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TSocket;

namespace {

constexpr auto warmUp = std::chrono::milliseconds(300);

struct Connection
{
    std::shared_ptr<TBufferedTransport> transport;
    std::unique_ptr<AccountingLogicServiceClient> client;

    explicit Connection(quint16 port)
    {
        auto socket = std::make_shared<TSocket>("127.0.0.1", int(port));
        socket->setConnTimeout(5000);
        socket->setRecvTimeout(5000);
        socket->setSendTimeout(5000);
        transport = std::make_shared<TBufferedTransport>(socket);
        client = std::make_unique<AccountingLogicServiceClient>(
            std::make_shared<TBinaryProtocol>(transport));
        transport->open();
    }

    ~Connection() { transport->close(); }
};

} // namespace

Load::Outcome Load::run(const QVector<quint16> &ports, Operation operation, int clients, bool fresh,
                        double seconds)
{
    std::atomic<bool> stop {false};
    std::atomic<bool> counting {false};
    std::vector<std::atomic<quint64>> done(static_cast<size_t>(clients));
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::atomic<quint64> failures {0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            const quint16 port = ports.at(c % ports.size());
            const std::string terminal = "BENCH-" + std::to_string(c);
            const std::string card = "B" + std::to_string(c);
            std::unique_ptr<Connection> kept;
            // One call on the kept connection, or on one of its own.
            const auto call = [&](const auto &work) {
                if (!fresh) {
                    if (!kept)
                        kept = std::make_unique<Connection>(port);
                    return work(*kept->client);
                }
                Connection once(port);
                return work(*once.client);
            };
            quint64 sequence = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                const bool counted = counting.load(std::memory_order_relaxed);
                const auto started = std::chrono::steady_clock::now();
                try {
                    Result result;
                    if (operation == Operation::Balance) {
                        call([&](AccountingLogicServiceClient &client) {
                            client.balance(result, terminal, card);
                            return 0;
                        });
                    } else {
                        Result opened;
                        const std::string tillId = std::to_string(++sequence);
                        call([&](AccountingLogicServiceClient &client) {
                            client.makePay(opened, terminal, tillId, card, 1, {});
                            return 0;
                        });
                        if (opened.success) {
                            call([&](AccountingLogicServiceClient &client) {
                                client.commitTransaction(result, terminal, opened.sessionId, card);
                                return 0;
                            });
                        }
                    }
                    if (result.success) {
                        done[size_t(c)].fetch_add(1, std::memory_order_relaxed);
                        if (counted)
                            latencies[size_t(c)].push_back(
                                std::chrono::duration<double, std::milli>(
                                    std::chrono::steady_clock::now() - started)
                                    .count());
                    } else
                        failures.fetch_add(1, std::memory_order_relaxed);
                } catch (const std::exception &) {
                    failures.fetch_add(1, std::memory_order_relaxed);
                    kept.reset();
                }
            }
        });
    }

    const auto total = [&] {
        quint64 sum = 0;
        for (const auto &count : done)
            sum += count.load(std::memory_order_relaxed);
        return sum;
    };
    std::this_thread::sleep_for(warmUp);
    counting = true;
    const quint64 before = total();
    const quint64 failedBefore = failures.load();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const quint64 after = total();
    counting = false;
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    const quint64 failedAfter = failures.load();
    stop = true;
    for (std::thread &thread : threads)
        thread.join();

    Outcome outcome;
    outcome.perSecond = double(after - before) / elapsed.count();
    outcome.failures = failedAfter - failedBefore;
    std::vector<double> all;
    for (const auto &client : latencies)
        all.insert(all.end(), client.begin(), client.end());
    if (!all.empty()) {
        const auto p99 = all.begin() + std::ptrdiff_t(double(all.size() - 1) * 0.99);
        std::nth_element(all.begin(), p99, all.end());
        outcome.p99Ms = *p99;
    }
    return outcome;
}

Load::Latency Load::timed(quint16 port, double seconds, int pauseMs)
{
    std::vector<double> times;
    Latency latency;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        const auto start = std::chrono::steady_clock::now();
        try {
            Connection once(port);
            Result result;
            once.client->balance(result, "BENCH-VICTIM", "B0");
            if (!result.success)
                throw std::runtime_error(result.description);
            times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        } catch (const std::exception &) {
            ++latency.failures;
        }
    }
    latency.answered = times.size();
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        latency.p50Ms = times[times.size() / 2];
        latency.p99Ms = times[std::min(times.size() - 1, times.size() * 99 / 100)];
    }
    return latency;
}
