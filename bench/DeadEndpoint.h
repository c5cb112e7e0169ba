#ifndef DEADENDPOINT_H
#define DEADENDPOINT_H

#include <QtGlobal>

/*!
    A port on 127.0.0.1 that drops SYNs, as a server that went away behind
    a firewall does: it listens with a backlog of one that is kept full and
    never accepted, so a new connect() waits until its own time limit.
*/
class DeadEndpoint
{
public:
    DeadEndpoint();
    ~DeadEndpoint();
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    int m_fillers[4] = {-1, -1, -1, -1};
    quint16 m_port = 0;
};

#endif // DEADENDPOINT_H
