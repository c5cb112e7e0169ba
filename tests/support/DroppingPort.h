#ifndef DROPPINGPORT_H
#define DROPPINGPORT_H

#include "LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

/*!
    A port on 127.0.0.1 that drops connection attempts, like a server gone
    behind a firewall: it listens with an accept queue that is kept full and
    never accepted from, so the kernel ignores every further SYN and a
    connect() waits out its own time limit.
*/
class DroppingPort
{
public:
    DroppingPort()
    {
        socket.listen(0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(quint16(socket.port()));
        for (int &filler : fillers) {
            filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address);
        }
    }
    ~DroppingPort()
    {
        for (int filler : fillers)
            ::close(filler);
    }
    DroppingPort(const DroppingPort &) = delete;
    DroppingPort &operator=(const DroppingPort &) = delete;

    int port() const { return socket.port(); }

private:
    LoopbackSocket socket;
    int fillers[4] = {-1, -1, -1, -1};
};

#endif // DROPPINGPORT_H
