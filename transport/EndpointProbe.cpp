#include "EndpointProbe.h"

#include "EndpointHealth.h"
#include "Limits.h"
#include "Logger.h"

#include <QDeadlineTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <thrift/transport/TSSLSocket.h>

// A probe's thread runs only the socket calls and OpenSSL: no log, no Qt,
// no name service module. The library's teardown joins it while holding
// the dynamic loader's lock, and anything that takes that lock (a first
// thread_local, a dlopen) would wait for it for ever. What a probe found is
// logged and told to EndpointHealth by the next operation (collect()).

namespace {

enum class Wait { Ready, TimedOut, Stopped, Failed };

// Raised once, when the library goes; never read, so it stays readable.
class StopSignal
{
public:
    StopSignal()
        : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
    }
    ~StopSignal()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void raise()
    {
        raised = true;
        // An eventfd's counter cannot overflow from one write.
        const uint64_t one = 1;
        const ssize_t written = ::write(fd, &one, sizeof one);
        (void)written;
    }

    const int fd;
    std::atomic<bool> raised {false};
};

struct Outcome
{
    bool stopped = false;
    std::string problem; // empty: the server answered
};

struct Probe
{
    std::string host;
    int port = 0;
    std::thread thread;
    bool done = false;
    Outcome outcome;
};

// The probes, running and finished. Its destructor runs when the library
// is unloaded or the process exits.
class Probes
{
public:
    ~Probes()
    {
        stop.raise();
        // Every wait of a probe watches the signal: these joins are short.
        for (auto &probe : all)
            if (probe.second.thread.joinable())
                probe.second.thread.join();
    }

    std::mutex lock;
    std::map<QString, Probe> all;
    StopSignal stop;
};

// Set with the first probe: until then nothing is made, not even the stop
// signal's descriptor.
std::atomic<bool> probesMade {false};

Probes &probes()
{
    static Probes made;
    probesMade = true;
    return made;
}

std::string systemError(int error)
{
    return std::strerror(error);
}

// Waits until fd is ready for events, the deadline passes or the library
// goes.
Wait waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd watched[2] = {{fd, events, 0}, {probes().stop.fd, POLLIN, 0}};
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return Wait::TimedOut;
        const int ready = ::poll(watched, 2, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Wait::Failed;
        if (watched[1].revents != 0)
            return Wait::Stopped;
        if (ready > 0)
            return Wait::Ready;
    }
}

class Descriptor
{
public:
    Descriptor() = default;
    ~Descriptor() { reset(-1); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    void reset(int other)
    {
        if (fd >= 0)
            ::close(fd);
        fd = other;
    }

    int fd = -1;
};

// The addresses of host:port. A numeric address needs no lookup; a name is
// looked up on a thread of the C library's own, waited for in slices so
// that the stop signal is seen, and left to that thread when it comes.
Outcome lookUp(const std::string &host, int port, const QDeadlineTimer &deadline, addrinfo **found)
{
    const std::string service = std::to_string(port);
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, found) == 0)
        return {};

    // Freed only once the lookup is over: an abandoned one still writes
    // into it.
    struct Lookup
    {
        std::string host;
        std::string service;
        addrinfo hints {};
        gaicb request {};
    };
    auto *lookup = new Lookup {host, service, {}, {}};
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->hints.ai_flags = AI_NUMERICSERV;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_service = lookup->service.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb *requests[] = {&lookup->request};
    const int started = getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr);
    if (started != 0) {
        delete lookup;
        return {false, gai_strerror(started)};
    }
    for (;;) {
        const int state = gai_error(&lookup->request);
        if (state != EAI_INPROGRESS) {
            *found = lookup->request.ar_result;
            delete lookup;
            return state == 0 ? Outcome {} : Outcome {false, gai_strerror(state)};
        }
        if (probes().stop.raised)
            return {true, std::string()};
        if (deadline.hasExpired())
            return {false, "name lookup timed out"};
        const timespec slice {0, 50 * 1000 * 1000};
        const gaicb *waited[] = {&lookup->request};
        gai_suspend(waited, 1, &slice);
    }
}

// A connected descriptor in socket.fd, or the outcome that says why not.
Outcome connectTo(const std::string &host, int port, int connectMs, Descriptor &socket)
{
    const QDeadlineTimer deadline(connectMs);
    addrinfo *found = nullptr;
    Outcome outcome = lookUp(host, port, deadline, &found);
    if (outcome.stopped || !outcome.problem.empty())
        return outcome;
    const std::unique_ptr<addrinfo, void (*)(addrinfo *)> addresses(found, freeaddrinfo);

    outcome.problem = "no address";
    for (const addrinfo *address = found; address; address = address->ai_next) {
        socket.reset(::socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (socket.fd < 0) {
            outcome.problem = systemError(errno);
            continue;
        }
        if (::connect(socket.fd, address->ai_addr, address->ai_addrlen) == 0)
            return {};
        if (errno != EINPROGRESS) {
            outcome.problem = systemError(errno);
            continue;
        }
        switch (waitFor(socket.fd, POLLOUT, deadline)) {
        case Wait::Stopped:
            return {true, std::string()};
        case Wait::TimedOut:
            return {false, "connect timed out"};
        case Wait::Failed:
            return {false, systemError(errno)};
        case Wait::Ready:
            break;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(socket.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0)
            return {};
        outcome.problem = systemError(error);
    }
    socket.reset(-1);
    return outcome;
}

std::string tlsError(const char *fallback)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// A handshake on the connected socket, the server's certificate checked as
// the till's own connections check it.
Outcome handshake(SSL_CTX *context, int fd, int connectMs)
{
    const QDeadlineTimer deadline(connectMs);
    const std::unique_ptr<SSL, void (*)(SSL *)> ssl(SSL_new(context), SSL_free);
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1)
        return {false, tlsError("cannot make a TLS connection")};
    for (;;) {
        ERR_clear_error();
        const int done = SSL_connect(ssl.get());
        if (done == 1)
            break;
        const int error = SSL_get_error(ssl.get(), done);
        const short events = error == SSL_ERROR_WANT_READ ? POLLIN
            : error == SSL_ERROR_WANT_WRITE               ? POLLOUT
                                                          : 0;
        if (events == 0)
            return {false, tlsError("TLS handshake failed")};
        switch (waitFor(fd, events, deadline)) {
        case Wait::Stopped:
            return {true, std::string()};
        case Wait::TimedOut:
            return {false, "TLS handshake timed out"};
        case Wait::Failed:
            return {false, systemError(errno)};
        case Wait::Ready:
            break;
        }
    }
    const long verified = SSL_get_verify_result(ssl.get());
    if (verified != X509_V_OK)
        return {false, X509_verify_cert_error_string(verified)};
    X509 *certificate = SSL_get1_peer_certificate(ssl.get());
    if (!certificate)
        return {false, "the server showed no certificate"};
    X509_free(certificate);
    // No close_notify: the socket is closed, and the server reads EOF.
    return {};
}

Outcome probe(const std::string &host, int port, int connectMs, SSL_CTX *tls)
{
    // OpenSSL writes with plain write(): a server that hangs up mid-way
    // must not raise SIGPIPE, whatever the host does with it. Blocked here,
    // it stays with this thread and goes with it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    Descriptor socket;
    Outcome outcome = connectTo(host, port, connectMs, socket);
    if (outcome.problem.empty() && !outcome.stopped && tls)
        outcome = handshake(tls, socket.fd, connectMs);
    return outcome;
}

QString endpointKey(const QString &host, int port)
{
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

bool EndpointProbe::start(const QString &host, int port, int connectMs,
                          std::shared_ptr<apache::thrift::transport::SSLContext> tls)
{
    collect();
    if (connectMs <= 0)
        connectMs = Limits::defaultConnectMs;
    const QString key = endpointKey(host, port);
    const Logger logger("thrifttransportprovider");
    Probes &probes = ::probes();
    std::lock_guard<std::mutex> guard(probes.lock);
    if (probes.all.count(key) != 0)
        return false;
    QString problem;
    if (probes.stop.fd < 0) {
        // A probe that could not be stopped could outlive the library.
        problem = QString::fromLocal8Bit(std::strerror(errno));
    } else {
        Probe &entry = probes.all[key];
        entry.host = host.toLocal8Bit().toStdString();
        entry.port = port;
        try {
            Probe *running = &entry;
            entry.thread = std::thread([running, connectMs, tls, &probes] {
                const Outcome outcome
                    = probe(running->host, running->port, connectMs, tls ? tls->get() : nullptr);
                std::lock_guard<std::mutex> done(probes.lock);
                running->outcome = outcome;
                running->done = true;
            });
            logger.debug(QStringLiteral("Фоновая проверка сервера %1").arg(key));
            return true;
        } catch (const std::system_error &e) {
            probes.all.erase(key);
            problem = QString::fromLocal8Bit(e.what());
        }
    }
    // Without a probe the endpoint gets its turn again, as it had before
    // there were probes: one operation pays to learn how it is.
    EndpointHealth::connected(host, port);
    logger.info(QStringLiteral("Фоновая проверка сервера %1 не запущена: %2").arg(key, problem));
    return false;
}

void EndpointProbe::collect()
{
    if (!probesMade)
        return;
    std::vector<Probe> finished;
    {
        Probes &probes = ::probes();
        std::lock_guard<std::mutex> guard(probes.lock);
        for (auto it = probes.all.begin(); it != probes.all.end();) {
            if (it->second.done) {
                finished.push_back(std::move(it->second));
                it = probes.all.erase(it);
            } else {
                ++it;
            }
        }
    }
    const Logger logger("thrifttransportprovider");
    for (Probe &probe : finished) {
        // Past the lock it last took: this join is short.
        probe.thread.join();
        if (probe.outcome.stopped)
            continue;
        const QString host = QString::fromLocal8Bit(probe.host.c_str());
        const QString key = endpointKey(host, probe.port);
        if (probe.outcome.problem.empty()) {
            EndpointHealth::connected(host, probe.port);
            logger.info(QStringLiteral("Сервер %1 снова доступен").arg(key));
        } else {
            EndpointHealth::failed(host, probe.port);
            logger.info(QStringLiteral("Сервер %1 по-прежнему недоступен: %2")
                            .arg(key, QString::fromLocal8Bit(probe.outcome.problem.c_str())));
        }
    }
}

int EndpointProbe::running()
{
    if (!probesMade)
        return 0;
    Probes &probes = ::probes();
    std::lock_guard<std::mutex> guard(probes.lock);
    int count = 0;
    for (const auto &probe : probes.all)
        count += probe.second.done ? 0 : 1;
    return count;
}
