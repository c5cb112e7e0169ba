#ifndef THRIFTTRANSPORTWRAPPER_H
#define THRIFTTRANSPORTWRAPPER_H

#include <QtGlobal>

#include <memory>
#include <string>

#include <thrift/transport/TSocket.h>
#include <thrift/transport/TVirtualTransport.h>

class ThriftTransportProvider;

/*!
    The transport a ThriftTransportProvider hands out: forwards everything to
    its socket and tells the provider how each exchange went. A successful
    read, write or flush restarts the provider's idle timer; a transport
    exception counts against the endpoint and is rethrown unchanged.
    The provider must outlive its wrappers.

    Replies are bounded: once a request has been flushed, the whole reply
    must arrive within the receive limit (a peer that drips one byte at a
    time cannot stretch it), and no more than the socket configuration's
    message size is read for one reply.
*/
class ThriftTransportWrapper
    : public apache::thrift::transport::TVirtualTransport<
          ThriftTransportWrapper, apache::thrift::transport::TTransportDefaults>
{
public:
    ThriftTransportWrapper(std::shared_ptr<apache::thrift::transport::TSocket> socket,
                           ThriftTransportProvider *provider, int endpointIndex);
    ~ThriftTransportWrapper() override;

    bool isOpen() const override;
    bool peek() override;
    void open() override;
    void close() override;
    uint32_t readEnd() override;
    uint32_t writeEnd() override;
    void flush() override;

    // Called through TVirtualTransport's *_virt entries.
    uint32_t read(uint8_t *buf, uint32_t len);
    uint32_t readAll(uint8_t *buf, uint32_t len);
    void write(const uint8_t *buf, uint32_t len);
    const uint8_t *borrow(uint8_t *buf, uint32_t *len);
    void consume(uint32_t len);

    std::string getHost();
    int getPort();
    std::string getSocketInfo();
    std::string getPeerHost();
    std::string getPeerAddress();
    int getPeerPort();
    void setHost(std::string host);
    void setPort(int port);
    void setLinger(bool on, int linger);
    void setNoDelay(bool noDelay);
    void setConnTimeout(int ms);
    void setRecvTimeout(int ms);
    void setSendTimeout(int ms);
    void setMaxRecvRetries(int maxRecvRetries);

    // A call's reply has been read in full: the connection may carry
    // another call, in this operation or, kept, in a later one.
    void callAnswered();
    // Nothing is half-sent or half-read on it.
    bool atRest() const { return !exchanging; }
    // The connection came from an earlier operation, or carried an earlier
    // call: a failure on it may be nothing but a peer that hung up.
    bool wasUsedBefore() const { return keptBefore || answered > 0; }
    void setKeptBefore() { keptBefore = true; }
    // Some byte of the current call's reply arrived.
    bool replyStarted() const { return replyBegun; }
    std::shared_ptr<apache::thrift::transport::TSocket> getSocket() const { return socket; }
    int getEndpointIndex() const { return endpointIndex; }

private:
    void reportSuccess();
    void reportFailure();
    // Gives the next recv() what is left of the reply's time; throws when
    // nothing is.
    void armReceive();
    uint32_t readChunk(uint8_t *buf, uint32_t len);

    std::shared_ptr<apache::thrift::transport::TSocket> socket;
    ThriftTransportProvider *provider;
    int endpointIndex;
    int receiveLimitMs = 0;
    // Monotonic milliseconds by which the current reply must be complete; 0: none.
    qint64 replyDeadline = 0;
    bool exchanging = false;
    bool replyBegun = false;
    bool keptBefore = false;
    int answered = 0;
};

#endif // THRIFTTRANSPORTWRAPPER_H
