#ifndef CALLER_H
#define CALLER_H

#include <QString>

#include <chrono>

/*!
    Who is on the other end of a connection: the peer's address, and what its
    TLS client certificate proves. The server fills it in as the connection
    is made (the certificate after the handshake) and stamps `received` on
    each request before a worker serves it; the handler decides with it.

    A till's certificate names its terminal in a subject alternative name
    URI `urn:terminal:ID` and allows clientAuth; an operator's names itself
    `urn:admin:NAME`. Anything else a trusted CA signed is Other and is
    served nothing.
*/
struct Caller
{
    using Clock = std::chrono::steady_clock;

    enum class Proof {
        None, // plain TCP, or TLS without client certificates: the request's terminal id is taken
        Terminal, // a till's certificate: `name` is its terminal id
        Admin, // an operator's certificate: `name` is the operator
        Other, // a certificate that names neither: `name` is its subject
    };

    QString peer; // the address, without the port
    Proof proof = Proof::None;
    QString name;
    // When the request's last byte arrived.
    Clock::time_point received;
};

#endif // CALLER_H
