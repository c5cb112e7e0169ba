#ifndef REFUSEDPORT_H
#define REFUSEDPORT_H

#include "LoopbackSocket.h"

/*!
    A port on 127.0.0.1 that refuses connections: bound, never listening,
    held for the life of the object so nobody else takes it. Unlike a port
    that was free a moment ago, nothing can start listening on it meanwhile.
*/
class RefusedPort
{
public:
    int port() const { return socket.port(); }

private:
    LoopbackSocket socket;
};

#endif // REFUSEDPORT_H
