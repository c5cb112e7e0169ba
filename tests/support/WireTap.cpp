#include "WireTap.h"

#include <thrift/transport/TTransportException.h>

#include <cerrno>

#include <sys/socket.h>

using apache::thrift::transport::TTransportException;

WireTap::WireTap(int descriptor)
    : fd(descriptor)
{
}

uint32_t WireTap::read(uint8_t *buffer, uint32_t length)
{
    ssize_t n;
    do {
        n = ::recv(fd, buffer, length, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        throw TTransportException(TTransportException::UNKNOWN, "recv() failed", errno);
    tapped.append(reinterpret_cast<const char *>(buffer), int(n));
    return uint32_t(n);
}

QByteArray WireTap::take()
{
    QByteArray bytes;
    bytes.swap(tapped);
    return bytes;
}
