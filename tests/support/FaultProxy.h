#ifndef FAULTPROXY_H
#define FAULTPROXY_H

#include "LoopbackSocket.h"

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <list>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

struct ThriftMessage;

/*!
    A TCP proxy on 127.0.0.1 between a Thrift client and an accounting server
    (binary protocol, no framing) that finds where each message ends, counts
    the calls per method and misbehaves on chosen ones.

    It listens from construction on a port of its own and serves every client
    connection on a thread of its own, with one connection to the server per
    client connection, opened at the first call forwarded. Several calls may
    travel on one connection. The destructor stops and joins everything at
    once, even while a client or the server is stalled.

    Which call misbehaves is chosen by rules (the first that matches wins),
    else, if set, at random with a seed so that a run can be replayed.
*/
class FaultProxy
{
    Q_GADGET

public:
    enum Fault {
        // Forward the call, forward the reply.
        Pass,
        // Not forwarded; the client gets a REPLY whose Result has success=false,
        // description=rule.text.
        Refuse,
        // Forwarded, so the server applies it; the server's whole reply is read and thrown
        // away, the client's connection closed.
        DropReply,
        // Forwarded; the reply is held rule.delayMs, then the client's connection is closed
        // without it.
        HoldReply,
        // Forwarded; the reply is sent one byte every rule.delayMs.
        Drip,
        // Forwarded; instead of the reply the client gets 4 KiB of (seeded) random bytes.
        Garbage,
        // Forwarded; the client gets a REPLY header for that method followed by a Result whose
        // string field declares 0x7fffffff bytes (then a few bytes and silence until it hangs
        // up).
        HugeLength,
        // Not forwarded; the client gets an EXCEPTION message (TApplicationException
        // INTERNAL_ERROR, text rule.text).
        Exception,
        // Forwarded, the reply sent to the client, then SIGKILL to the host pid.
        KillHost,
        // Forwarded, the server's reply read, then SIGKILL to the host pid; the client gets
        // nothing.
        KillHostBeforeReply,
        // Forwarded; the reply is sent whole after rule.delayMs.
        DelayReply,
        // Forwarded; the client gets the server's reply with its sessionId replaced by
        // rule.text, or, when the text is empty, by the sessionId of the last reply to the same
        // method that went through this proxy (whatever the rules since).
        ReplaceSession,
    };
    Q_ENUM(Fault)

    struct Rule
    {
        // E.g. "commitTransaction"; empty = any method.
        QString method;
        // 1-based: the n-th call of that method through this proxy; 0 = every call.
        int nth = 0;
        Fault fault = Pass;
        // HoldReply, Drip.
        int delayMs = 0;
        // Refuse, Exception, ReplaceSession.
        QString text;
        // A matching call gets the fault with this probability (seeded, as the random faults
        // are); when it does not, the rules after this one are asked.
        double probability = 1;
    };
    struct Seen
    {
        QString method;
        Fault fault;
    };

    static Rule rule(const QString &method, int nth, Fault fault, int delayMs = 0,
                     const QString &text = QString());

    explicit FaultProxy(quint16 upstreamPort); // upstream on 127.0.0.1
    ~FaultProxy();
    FaultProxy(const FaultProxy &) = delete;
    FaultProxy &operator=(const FaultProxy &) = delete;

    quint16 port() const;
    void addRule(const Rule &rule); // first matching rule wins
    void clearRules(); // also resets the per-method counters and the seen list
    void setHostPid(qint64 pid); // for KillHost / KillHostBeforeReply
    // Each call that no rule matches gets, with this probability, one of
    // `faults` at random (seeded, so a run can be replayed). The seed also
    // makes the Garbage bytes. delayMs and text serve the faults chosen so.
    void setRandomFaults(quint32 seed, double probability, const QList<Fault> &faults,
                         int delayMs = 200,
                         const QString &text = QStringLiteral("Отказ, внесённый прокси"));
    QList<Seen> seen() const; // every call in arrival order, with the fault applied
    int count(const QString &method) const;
    // Waits until `total` calls (since construction or clearRules()) were
    // dealt with: forwarded and answered, or failed as their fault says, so
    // that the server's side of each is over. False on timeout.
    bool waitForCalls(int total, int timeoutMs);

    // "Pass", "Refuse"...: for messages and data rows.
    static QString faultName(Fault fault);

private:
    struct Decision
    {
        Fault fault = Pass;
        int delayMs = 0;
        QString text;
        quint32 noiseSeed = 0;
        // Calls decided before clearRules() are not counted after it.
        int generation = 0;
    };

    void acceptClients();
    void serveClient(int client);
    Decision decide(const std::string &method);
    // What becomes of the client's connection once a call was dealt with.
    enum class Then { Continue, Close, CloseWhenClientHangsUp };
    Then apply(const Decision &decision, const ThriftMessage &call, int client, int *upstream);
    static Then sent(bool written);
    bool exchange(const ThriftMessage &call, int *upstream, QByteArray *reply);
    // The session id of a reply is kept, per method; replaceSession()
    // answers the reply with `text` (or the last one kept) instead.
    void rememberSession(const ThriftMessage &call, const QByteArray &reply);
    QByteArray replaceSession(const ThriftMessage &call, const QByteArray &reply,
                              const QString &text);
    bool chance(double probability);
    int connectUpstream();
    void killHost();
    bool pause(int ms);
    bool isStopping() const;
    bool adopt(int descriptor);
    void release(int descriptor);
    void reapClients();

    const quint16 upstreamPort;
    LoopbackSocket listener;

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    QList<Rule> rules;
    QMap<QString, int> counts;
    QList<Seen> seenCalls;
    int dealtWith = 0;
    int generation = 0;
    qint64 hostPid = 0;
    quint32 randomSeed = 0;
    double randomProbability = 0;
    QList<Fault> randomFaults;
    int randomDelayMs = 0;
    QString randomText;
    std::mt19937 random;
    // The sessionId of the last reply to each method.
    QMap<QString, std::string> lastSessions;
    // Every socket in use, shut down by the destructor to wake its thread.
    std::set<int> descriptors;
    std::list<std::thread> clients;
    std::vector<std::thread::id> finishedClients;
    std::thread acceptor;
};

Q_DECLARE_METATYPE(FaultProxy::Rule)

#endif // FAULTPROXY_H
