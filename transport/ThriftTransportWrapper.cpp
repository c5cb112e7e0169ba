#include "ThriftTransportWrapper.h"

#include "ThriftTransportProvider.h"

using apache::thrift::transport::TTransportException;

// The wrapper shares the socket's configuration, so the protocol built on the
// wrapper checks its message-size and recursion limits against the same
// object the socket uses.
ThriftTransportWrapper::ThriftTransportWrapper(
    std::shared_ptr<apache::thrift::transport::TSocket> socket, ThriftTransportProvider *provider,
    int endpointIndex)
    : TVirtualTransport(socket ? socket->getConfiguration() : nullptr)
    , socket(std::move(socket))
    , provider(provider)
    , endpointIndex(endpointIndex)
{
}

ThriftTransportWrapper::~ThriftTransportWrapper() = default;

bool ThriftTransportWrapper::isOpen() const
{
    return socket->isOpen();
}

bool ThriftTransportWrapper::peek()
{
    return socket->peek();
}

void ThriftTransportWrapper::open()
{
    // A TLS socket connects in open() but answers isOpen() false until its
    // handshake at the first exchange, so opening it again would dial a
    // second connection and lose the descriptor of the first. A socket that
    // already holds a connection is never dialled again.
    if (socket->getSocketFD() != THRIFT_INVALID_SOCKET)
        return;
    try {
        socket->open();
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
}

void ThriftTransportWrapper::close()
{
    try {
        socket->close();
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
}

uint32_t ThriftTransportWrapper::read(uint8_t *buf, uint32_t len)
{
    try {
        const uint32_t got = socket->read(buf, len);
        reportSuccess();
        return got;
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
}

uint32_t ThriftTransportWrapper::readAll(uint8_t *buf, uint32_t len)
{
    try {
        const uint32_t got = socket->readAll(buf, len);
        reportSuccess();
        return got;
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
}

uint32_t ThriftTransportWrapper::readEnd()
{
    try {
        const uint32_t got = socket->readEnd();
        reportSuccess();
        return got;
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
}

void ThriftTransportWrapper::write(const uint8_t *buf, uint32_t len)
{
    try {
        socket->write(buf, len);
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
    reportSuccess();
}

uint32_t ThriftTransportWrapper::writeEnd()
{
    try {
        const uint32_t written = socket->writeEnd();
        reportSuccess();
        return written;
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
}

void ThriftTransportWrapper::flush()
{
    try {
        socket->flush();
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
    reportSuccess();
}

const uint8_t *ThriftTransportWrapper::borrow(uint8_t *buf, uint32_t *len)
{
    try {
        return socket->borrow(buf, len);
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
}

void ThriftTransportWrapper::consume(uint32_t len)
{
    try {
        socket->consume(len);
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
}

std::string ThriftTransportWrapper::getHost()
{
    return socket->getHost();
}

int ThriftTransportWrapper::getPort()
{
    return socket->getPort();
}

std::string ThriftTransportWrapper::getSocketInfo()
{
    return socket->getSocketInfo();
}

std::string ThriftTransportWrapper::getPeerHost()
{
    return socket->getPeerHost();
}

std::string ThriftTransportWrapper::getPeerAddress()
{
    return socket->getPeerAddress();
}

int ThriftTransportWrapper::getPeerPort()
{
    return socket->getPeerPort();
}

void ThriftTransportWrapper::setHost(std::string host)
{
    socket->setHost(std::move(host));
}

void ThriftTransportWrapper::setPort(int port)
{
    socket->setPort(port);
}

void ThriftTransportWrapper::setLinger(bool on, int linger)
{
    socket->setLinger(on, linger);
}

void ThriftTransportWrapper::setNoDelay(bool noDelay)
{
    socket->setNoDelay(noDelay);
}

void ThriftTransportWrapper::setConnTimeout(int ms)
{
    socket->setConnTimeout(ms);
}

void ThriftTransportWrapper::setRecvTimeout(int ms)
{
    socket->setRecvTimeout(ms);
}

void ThriftTransportWrapper::setSendTimeout(int ms)
{
    socket->setSendTimeout(ms);
}

void ThriftTransportWrapper::setMaxRecvRetries(int maxRecvRetries)
{
    socket->setMaxRecvRetries(maxRecvRetries);
}

void ThriftTransportWrapper::reportSuccess()
{
    if (provider)
        provider->transportOk(endpointIndex);
}

void ThriftTransportWrapper::reportFailure()
{
    if (provider)
        provider->transportFail(endpointIndex);
}
