#ifndef RAWTESTSERVER_H
#define RAWTESTSERVER_H

#include <QByteArray>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

/*!
    A misbehaving server on 127.0.0.1 that speaks bytes, not Thrift. It runs
    in its own thread with Qt's blocking socket calls, takes one connection
    at a time and, once the message header of a request has arrived, hangs up,
    sends fixed bytes, or keeps silent (for a few seconds at most). It never
    closes a connection it has answered: the client's own close ends it.
*/
class RawTestServer
{
public:
    enum Behaviour { HangUp, Answer, KeepSilent };

    explicit RawTestServer(Behaviour behaviour, const QByteArray &answer = QByteArray());
    ~RawTestServer();

    quint16 port() const { return listeningPort; }
    // Everything the clients sent so far.
    QByteArray received() const;

    // Hand-made Thrift binary messages, version 1 headers, sequence id 0.
    static QByteArray messageHeader(int type, const QByteArray &name);
    static QByteArray exceptionMessage(const QByteArray &name, const QByteArray &text, int type);
    static QByteArray replyWithoutResult(const QByteArray &name);

private:
    void run(std::promise<quint16> *ready);

    const Behaviour behaviour;
    const QByteArray answer;
    std::atomic<bool> stopping {false};
    mutable std::mutex mutex;
    QByteArray bytes;
    quint16 listeningPort = 0;
    std::thread thread;
};

#endif // RAWTESTSERVER_H
