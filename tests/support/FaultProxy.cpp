#include "FaultProxy.h"

#include "ThriftMessages.h"
#include "WireTap.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include <QMetaEnum>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using apache::thrift::TApplicationException;
using apache::thrift::TException;

namespace {
const int garbageBytes = 4096;

// The Result of a REPLY; false for an EXCEPTION or a reply without one.
bool resultOf(const QByteArray &reply, int32_t *seqid, accounting::logic::thriftapi::Result *result)
{
    auto buffer = std::make_shared<apache::thrift::transport::TMemoryBuffer>(
        reinterpret_cast<uint8_t *>(const_cast<char *>(reply.constData())), uint32_t(reply.size()));
    apache::thrift::protocol::TBinaryProtocol in(buffer);
    try {
        std::string name;
        apache::thrift::protocol::TMessageType type;
        in.readMessageBegin(name, type, *seqid);
        std::string structName;
        in.readStructBegin(structName);
        std::string fieldName;
        apache::thrift::protocol::TType fieldType;
        int16_t field = 0;
        in.readFieldBegin(fieldName, fieldType, field);
        if (type != apache::thrift::protocol::T_REPLY || field != 0
            || fieldType != apache::thrift::protocol::T_STRUCT)
            return false;
        result->read(&in);
        return true;
    } catch (const TException &) {
        return false;
    }
}

QByteArray noise(quint32 seed)
{
    std::mt19937 generator(seed);
    QByteArray bytes(garbageBytes, '\0');
    for (char &byte : bytes)
        byte = char(generator() & 0xff);
    return bytes;
}
} // namespace

FaultProxy::Rule FaultProxy::rule(const QString &method, int nth, Fault fault, int delayMs,
                                  const QString &text)
{
    Rule rule;
    rule.method = method;
    rule.nth = nth;
    rule.fault = fault;
    rule.delayMs = delayMs;
    rule.text = text;
    return rule;
}

FaultProxy::FaultProxy(quint16 upstreamPort)
    : upstreamPort(upstreamPort)
{
    listener.listen();
    acceptor = std::thread(&FaultProxy::acceptClients, this);
}

FaultProxy::~FaultProxy()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        // Wakes every thread blocked on a socket, whichever side is stalled.
        for (int descriptor : descriptors)
            ::shutdown(descriptor, SHUT_RDWR);
    }
    changed.notify_all();
    listener.shutdown();
    acceptor.join();
    // The acceptor is gone: nobody adds to the list any more.
    for (std::thread &client : clients)
        client.join();
}

quint16 FaultProxy::port() const
{
    return quint16(listener.port());
}

void FaultProxy::addRule(const Rule &rule)
{
    std::lock_guard<std::mutex> lock(mutex);
    rules.append(rule);
}

void FaultProxy::clearRules()
{
    std::lock_guard<std::mutex> lock(mutex);
    rules.clear();
    counts.clear();
    seenCalls.clear();
    dealtWith = 0;
    ++generation;
}

void FaultProxy::setHostPid(qint64 pid)
{
    std::lock_guard<std::mutex> lock(mutex);
    hostPid = pid;
}

void FaultProxy::setRandomFaults(quint32 seed, double probability, const QList<Fault> &faults,
                                 int delayMs, const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    randomSeed = seed;
    random.seed(seed);
    randomProbability = probability;
    randomFaults = faults;
    randomDelayMs = delayMs;
    randomText = text;
}

QList<FaultProxy::Seen> FaultProxy::seen() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return seenCalls;
}

int FaultProxy::count(const QString &method) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return counts.value(method);
}

bool FaultProxy::waitForCalls(int total, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return dealtWith >= total; });
}

QString FaultProxy::faultName(Fault fault)
{
    return QString::fromLatin1(QMetaEnum::fromType<Fault>().valueToKey(fault));
}

void FaultProxy::acceptClients()
{
    for (;;) {
        const int client = ::accept4(listener.descriptor(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (client < 0)
            return; // shut down by the destructor
        reapClients();
        if (!adopt(client))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        clients.emplace_back(&FaultProxy::serveClient, this, client);
    }
}

// Joins the threads of connections that are over, so that a long run does
// not pile them up.
void FaultProxy::reapClients()
{
    std::list<std::thread> finished;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = clients.begin(); it != clients.end();) {
            const auto next = std::next(it);
            if (std::find(finishedClients.begin(), finishedClients.end(), it->get_id())
                != finishedClients.end())
                finished.splice(finished.end(), clients, it);
            it = next;
        }
        finishedClients.clear();
    }
    for (std::thread &thread : finished)
        thread.join();
}

void FaultProxy::serveClient(int client)
{
    int upstream = -1;
    auto tap = std::make_shared<WireTap>(client);
    for (;;) {
        ThriftMessage call;
        try {
            call = ThriftMessages::read(tap);
        } catch (const TException &e) {
            // Between calls this is the client hanging up; within one, a
            // client that sent no Thrift message.
            const QByteArray partial = tap->take();
            if (!partial.isEmpty() && !isStopping())
                qWarning("FaultProxy: no whole call after %d bytes: %s", int(partial.size()),
                         e.what());
            break;
        }
        const Decision decision = decide(call.name);
        const Then then = apply(decision, call, client, &upstream);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (decision.generation == generation)
                ++dealtWith;
        }
        changed.notify_all();
        if (then == Then::CloseWhenClientHangsUp)
            LoopbackSocket::waitForPeerClose(client);
        if (then != Then::Continue)
            break;
    }
    release(upstream);
    release(client);
    std::lock_guard<std::mutex> lock(mutex);
    finishedClients.push_back(std::this_thread::get_id());
}

FaultProxy::Decision FaultProxy::decide(const std::string &name)
{
    std::lock_guard<std::mutex> lock(mutex);
    const QString method = QString::fromStdString(name);
    const int nth = ++counts[method];
    Decision decision;
    decision.generation = generation;
    // Garbage differs from call to call, yet is the same in a replayed run.
    decision.noiseSeed = randomSeed * 7919u + quint32(seenCalls.size());
    auto rule = std::find_if(rules.cbegin(), rules.cend(), [&](const Rule &candidate) {
        return (candidate.method.isEmpty() || candidate.method == method)
            && (candidate.nth == 0 || candidate.nth == nth) && chance(candidate.probability);
    });
    if (rule != rules.cend()) {
        decision.fault = rule->fault;
        decision.delayMs = rule->delayMs;
        decision.text = rule->text;
    } else if (!randomFaults.isEmpty() && chance(randomProbability)) {
        decision.fault = randomFaults.at(int(random() % quint32(randomFaults.size())));
        decision.delayMs = randomDelayMs;
        decision.text = randomText;
    }
    seenCalls.append({method, decision.fault});
    return decision;
}

// Called with the mutex held.
bool FaultProxy::chance(double probability)
{
    if (probability >= 1)
        return true;
    return random() / (double(std::mt19937::max()) + 1) < probability;
}

// Answers one call as its fault says.
FaultProxy::Then FaultProxy::apply(const Decision &decision, const ThriftMessage &call, int client,
                                   int *upstream)
{
    const QByteArray name = QByteArray::fromStdString(call.name);
    if (decision.fault == Refuse) {
        accounting::logic::thriftapi::Result refusal;
        refusal.__set_success(false);
        refusal.__set_description(decision.text.toStdString());
        return sent(
            LoopbackSocket::writeAll(client, ThriftMessages::reply(name, refusal, call.seqid)));
    }
    if (decision.fault == Exception) {
        return sent(LoopbackSocket::writeAll(
            client,
            ThriftMessages::exception(name, decision.text.toUtf8(),
                                      TApplicationException::INTERNAL_ERROR, call.seqid)));
    }

    QByteArray reply;
    if (!exchange(call, upstream, &reply))
        return Then::Close;
    if (decision.fault == ReplaceSession)
        reply = replaceSession(call, reply, decision.text);
    else
        rememberSession(call, reply);
    switch (decision.fault) {
    case Pass:
        return sent(LoopbackSocket::writeAll(client, reply));
    case DropReply:
        return Then::Close;
    case HoldReply:
        pause(decision.delayMs);
        return Then::Close;
    case Drip:
        for (int i = 0; i < reply.size(); ++i) {
            if ((i > 0 && !pause(decision.delayMs))
                || !LoopbackSocket::writeAll(client, reply.mid(i, 1)))
                return Then::Close;
        }
        return Then::Continue;
    case Garbage:
        // The stream is broken from here on: nothing more is read from it.
        LoopbackSocket::writeAll(client, noise(decision.noiseSeed));
        return Then::CloseWhenClientHangsUp;
    case HugeLength:
        LoopbackSocket::writeAll(client, ThriftMessages::hugeLengthReply(name, call.seqid));
        return Then::CloseWhenClientHangsUp;
    case KillHost: {
        const bool replied = LoopbackSocket::writeAll(client, reply);
        killHost();
        return sent(replied);
    }
    case KillHostBeforeReply:
        killHost();
        return Then::Close;
    case DelayReply:
        if (!pause(decision.delayMs))
            return Then::Close;
        return sent(LoopbackSocket::writeAll(client, reply));
    case ReplaceSession:
        return sent(LoopbackSocket::writeAll(client, reply));
    case Refuse:
    case Exception:
        break; // answered above, without the server
    }
    return Then::Close;
}

void FaultProxy::rememberSession(const ThriftMessage &call, const QByteArray &reply)
{
    int32_t seqid = 0;
    accounting::logic::thriftapi::Result result;
    if (!resultOf(reply, &seqid, &result))
        return;
    std::lock_guard<std::mutex> lock(mutex);
    lastSessions[QString::fromStdString(call.name)] = result.sessionId;
}

QByteArray FaultProxy::replaceSession(const ThriftMessage &call, const QByteArray &reply,
                                      const QString &text)
{
    int32_t seqid = 0;
    accounting::logic::thriftapi::Result result;
    if (!resultOf(reply, &seqid, &result))
        return reply;
    std::string replacement = text.toStdString();
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string &last = lastSessions[QString::fromStdString(call.name)];
        if (text.isEmpty())
            replacement = last;
        last = result.sessionId;
    }
    result.__set_sessionId(replacement);
    return ThriftMessages::reply(QByteArray::fromStdString(call.name), result, seqid);
}

// A connection whose answer could not be written is over.
FaultProxy::Then FaultProxy::sent(bool written)
{
    return written ? Then::Continue : Then::Close;
}

// Sends the call to the server and reads its whole reply; false when the
// server cannot be reached or gives no reply.
bool FaultProxy::exchange(const ThriftMessage &call, int *upstream, QByteArray *reply)
{
    if (*upstream < 0)
        *upstream = connectUpstream();
    if (*upstream < 0 || !LoopbackSocket::writeAll(*upstream, call.bytes))
        return false;
    try {
        *reply = ThriftMessages::read(std::make_shared<WireTap>(*upstream)).bytes;
        return true;
    } catch (const TException &e) {
        if (!isStopping())
            qWarning("FaultProxy: no reply to %s from the server: %s", call.name.c_str(), e.what());
        return false;
    }
}

int FaultProxy::connectUpstream()
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0 || !adopt(descriptor))
        return -1;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(upstreamPort);
    if (::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        qWarning("FaultProxy: cannot reach the server on port %d: %s", int(upstreamPort),
                 strerror(errno));
        release(descriptor);
        return -1;
    }
    return descriptor;
}

void FaultProxy::killHost()
{
    qint64 pid;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pid = hostPid;
    }
    if (pid <= 0)
        qWarning("FaultProxy: no host pid to kill");
    else if (::kill(pid_t(pid), SIGKILL) != 0)
        qWarning("FaultProxy: cannot kill %lld: %s", pid, strerror(errno));
}

bool FaultProxy::isStopping() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return stopping;
}

// Waits ms unless the proxy stops first; false when it stops.
bool FaultProxy::pause(int ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping; });
}

// Takes a socket under watch, or closes it when the proxy is stopping.
bool FaultProxy::adopt(int descriptor)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) {
        ::close(descriptor);
        return false;
    }
    descriptors.insert(descriptor);
    return true;
}

void FaultProxy::release(int descriptor)
{
    if (descriptor < 0)
        return;
    {
        // Forgotten before it is closed: the destructor never shuts down a
        // descriptor number that was reused meanwhile.
        std::lock_guard<std::mutex> lock(mutex);
        descriptors.erase(descriptor);
    }
    ::close(descriptor);
}
