#ifndef ATTACKER_H
#define ATTACKER_H

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <thread>

/*!
    Clients that hold a server's connections without using them, from
    loopback addresses other than 127.0.0.1 (127.0.0.2 and up, `perAddress`
    connections each): idle ones that send nothing, or slow ones that send
    one byte of a request a second. A connection the server closes is opened
    again at once, so `connections` stay open or on their way for as long as
    the attacker runs. One thread, polling every socket without blocking.
*/
class Attacker
{
public:
    enum class Kind { Idle, Slow };

    Attacker(quint16 port, Kind kind, int connections, int perAddress);
    ~Attacker();

    // Waits until every connection has been opened once (at most `ms`).
    bool waitUntilOpen(int ms) const;
    // Connections opened, and those the server closed, so far.
    quint64 opened() const { return m_opened; }
    quint64 closedByServer() const { return m_closed; }

private:
    void run();
    int open(int index);

    const quint16 m_port;
    const Kind m_kind;
    const int m_connections;
    const int m_perAddress;
    std::atomic<bool> m_stop {false};
    std::atomic<quint64> m_opened {0};
    std::atomic<quint64> m_closed {0};
    std::atomic<int> m_firstRound {0};
    std::thread m_thread;
};

#endif // ATTACKER_H
