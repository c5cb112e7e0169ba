#ifndef WIRETAP_H
#define WIRETAP_H

#include <QByteArray>

#include <thrift/transport/TVirtualTransport.h>

/*!
    A connected socket as Thrift's protocol classes read it, keeping every
    byte they took: once a message is parsed or skipped, its exact bytes on
    the wire are at hand. It reads only what the protocol asks for and never
    ahead, so the next message on the connection stays in the socket.
*/
class WireTap : public apache::thrift::transport::TVirtualTransport<WireTap>
{
public:
    explicit WireTap(int descriptor);

    bool isOpen() const override { return true; }
    // Throws TTransportException on a socket error; 0 when the peer closed.
    uint32_t read(uint8_t *buffer, uint32_t length);
    // The bytes read since the last take(), and forgets them.
    QByteArray take();

private:
    int fd;
    QByteArray tapped;
};

#endif // WIRETAP_H
