#include "ThriftTransportWrapper.h"

#include "ThriftTransportProvider.h"

#include <QDeadlineTimer>

using apache::thrift::transport::TTransportException;

namespace {
qint64 monotonicNow()
{
    return QDeadlineTimer::current().deadline();
}
} // namespace

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
        const uint32_t got = readChunk(buf, len);
        reportSuccess();
        return got;
    } catch (const TTransportException &) {
        reportFailure();
        throw;
    }
}

uint32_t ThriftTransportWrapper::readAll(uint8_t *buf, uint32_t len)
{
    // The socket's own loop would set the time limit once for all its
    // recv() calls; this one hands each the time that is left.
    try {
        uint32_t have = 0;
        while (have < len) {
            const uint32_t got = readChunk(buf + have, len - have);
            if (got == 0)
                throw TTransportException(TTransportException::END_OF_FILE,
                                          "No more data to read.");
            have += got;
        }
        reportSuccess();
        return have;
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
    if (!exchanging) {
        exchanging = true;
        replyBegun = false;
    }
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
    // The request is out: its reply starts now, with a fresh size budget.
    replyDeadline = receiveLimitMs > 0 ? monotonicNow() + receiveLimitMs : 0;
    resetConsumedMessageSize();
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
    receiveLimitMs = ms;
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

void ThriftTransportWrapper::callAnswered()
{
    exchanging = false;
    ++answered;
}

void ThriftTransportWrapper::armReceive()
{
    if (replyDeadline == 0)
        return;
    const qint64 left = replyDeadline - monotonicNow();
    if (left <= 0)
        throw TTransportException(TTransportException::TIMED_OUT,
                                  "reply not complete within the receive limit");
    socket->setRecvTimeout(int(qMin<qint64>(left, receiveLimitMs)));
}

uint32_t ThriftTransportWrapper::readChunk(uint8_t *buf, uint32_t len)
{
    armReceive();
    const uint32_t got = socket->read(buf, len);
    if (got > 0)
        replyBegun = true;
    countConsumedMessageBytes(got);
    return got;
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
