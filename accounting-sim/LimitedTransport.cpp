#include "LimitedTransport.h"

#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TTransportException.h>

using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TTransportException;

LimitedTransport::LimitedTransport(std::shared_ptr<TTransport> inner, int limit, int deadlineMs)
    : m_inner(std::move(inner))
    , m_limit(uint64_t(limit))
    , m_deadline(deadlineMs)
{
}

uint32_t LimitedTransport::readEnd()
{
    m_read = 0;
    return m_inner->readEnd();
}

uint32_t LimitedTransport::read(uint8_t *buf, uint32_t len)
{
    const uint32_t got = m_inner->read(buf, len);
    count(got);
    return got;
}

uint32_t LimitedTransport::readAll(uint8_t *buf, uint32_t len)
{
    // Counted once the bytes are here: a request starts with its first byte,
    // not with the wait for it (that is the idle time-out's).
    const uint32_t got = m_inner->readAll(buf, len);
    count(got);
    return got;
}

void LimitedTransport::consume(uint32_t len)
{
    count(len);
    m_inner->consume(len);
}

void LimitedTransport::count(uint32_t bytes)
{
    const auto now = std::chrono::steady_clock::now();
    if (m_read == 0)
        m_started = now;
    else if (now - m_started > m_deadline)
        throw TTransportException(TTransportException::CORRUPTED_DATA,
                                  "request took longer than " + std::to_string(m_deadline.count())
                                      + " ms");
    m_read += bytes;
    if (m_read > m_limit)
        throw TTransportException(TTransportException::CORRUPTED_DATA,
                                  "request larger than " + std::to_string(m_limit) + " bytes");
}

std::shared_ptr<apache::thrift::transport::TTransport>
LimitedTransportFactory::getTransport(std::shared_ptr<apache::thrift::transport::TTransport> socket)
{
    return std::make_shared<LimitedTransport>(std::make_shared<TBufferedTransport>(socket), m_limit,
                                              m_deadlineMs);
}
