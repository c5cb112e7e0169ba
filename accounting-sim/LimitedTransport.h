#ifndef LIMITEDTRANSPORT_H
#define LIMITEDTRANSPORT_H

#include <thrift/transport/TVirtualTransport.h>

#include <chrono>
#include <memory>

/*!
    A connection's buffered transport with bounds on one request: more than
    `limit` bytes, or more than `deadlineMs` from its first byte to its last,
    throws. A client that streams an endless request (unknown fields to
    skip, say) or drips one byte at a time, each just within the idle
    time-out, is cut off instead of holding a worker. The processor marks the
    end of each request with readEnd().
*/
class LimitedTransport final : public apache::thrift::transport::TVirtualTransport<LimitedTransport>
{
public:
    using TTransport = apache::thrift::transport::TTransport;

    LimitedTransport(std::shared_ptr<TTransport> inner, int limit, int deadlineMs);

    bool isOpen() const override { return m_inner->isOpen(); }
    bool peek() override { return m_inner->peek(); }
    void open() override { m_inner->open(); }
    void close() override { m_inner->close(); }
    uint32_t readEnd() override;
    uint32_t writeEnd() override { return m_inner->writeEnd(); }
    void flush() override { m_inner->flush(); }
    const std::string getOrigin() const override { return m_inner->getOrigin(); }

    uint32_t read(uint8_t *buf, uint32_t len);
    uint32_t readAll(uint8_t *buf, uint32_t len);
    void write(const uint8_t *buf, uint32_t len) { m_inner->write(buf, len); }
    const uint8_t *borrow(uint8_t *buf, uint32_t *len) { return m_inner->borrow(buf, len); }
    void consume(uint32_t len);

private:
    void count(uint32_t bytes);

    std::shared_ptr<TTransport> m_inner;
    const uint64_t m_limit;
    const std::chrono::milliseconds m_deadline;
    uint64_t m_read = 0;
    std::chrono::steady_clock::time_point m_started;
};

/*!
    Wraps each accepted socket as the server reads it: buffered, and bounded
    by LimitedTransport.
*/
class LimitedTransportFactory final : public apache::thrift::transport::TTransportFactory
{
public:
    LimitedTransportFactory(int limit, int deadlineMs)
        : m_limit(limit)
        , m_deadlineMs(deadlineMs)
    {
    }

    std::shared_ptr<apache::thrift::transport::TTransport>
    getTransport(std::shared_ptr<apache::thrift::transport::TTransport> socket) override;

private:
    const int m_limit;
    const int m_deadlineMs;
};

#endif // LIMITEDTRANSPORT_H
