#include "ThriftMessages.h"

#include "WireTap.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include <functional>

using namespace apache::thrift;
using protocol::TBinaryProtocol;
using protocol::TMessageType;

namespace {
// Nothing the accounting service sends comes near this; a length beyond it
// is a broken message, not a reason to allocate.
const int32_t stringLimit = 16 * 1024 * 1024;
const int32_t containerLimit = 1024 * 1024;

QByteArray written(const std::function<void(TBinaryProtocol &)> &write)
{
    auto buffer = std::make_shared<transport::TMemoryBuffer>();
    TBinaryProtocol protocol(buffer);
    write(protocol);
    return QByteArray::fromStdString(buffer->getBufferAsString());
}
} // namespace

QByteArray ThriftMessages::header(TMessageType type, const QByteArray &name, int32_t seqid)
{
    return written(
        [&](TBinaryProtocol &out) { out.writeMessageBegin(name.toStdString(), type, seqid); });
}

QByteArray ThriftMessages::exception(const QByteArray &name, const QByteArray &text,
                                     TApplicationException::TApplicationExceptionType type,
                                     int32_t seqid)
{
    return written([&](TBinaryProtocol &out) {
        out.writeMessageBegin(name.toStdString(), protocol::T_EXCEPTION, seqid);
        TApplicationException(type, text.toStdString()).write(&out);
        out.writeMessageEnd();
    });
}

QByteArray ThriftMessages::replyWithoutResult(const QByteArray &name, int32_t seqid)
{
    return written([&](TBinaryProtocol &out) {
        out.writeMessageBegin(name.toStdString(), protocol::T_REPLY, seqid);
        out.writeStructBegin("result");
        out.writeFieldStop();
        out.writeStructEnd();
        out.writeMessageEnd();
    });
}

QByteArray ThriftMessages::reply(const QByteArray &name,
                                 const accounting::logic::thriftapi::Result &result, int32_t seqid)
{
    return written([&](TBinaryProtocol &out) {
        out.writeMessageBegin(name.toStdString(), protocol::T_REPLY, seqid);
        out.writeStructBegin("result");
        out.writeFieldBegin("success", protocol::T_STRUCT, 0);
        result.write(&out);
        out.writeFieldEnd();
        out.writeFieldStop();
        out.writeStructEnd();
        out.writeMessageEnd();
    });
}

QByteArray ThriftMessages::hugeLengthReply(const QByteArray &name, int32_t seqid)
{
    return written([&](TBinaryProtocol &out) {
               out.writeMessageBegin(name.toStdString(), protocol::T_REPLY, seqid);
               out.writeStructBegin("result");
               out.writeFieldBegin("success", protocol::T_STRUCT, 0);
               out.writeStructBegin("Result");
               out.writeFieldBegin("sessionId", protocol::T_STRING, 2);
               out.writeI32(0x7fffffff);
           })
        + QByteArray("AS000");
}

ThriftMessage ThriftMessages::read(const std::shared_ptr<WireTap> &tap)
{
    // Not strict on reading: the old unversioned header is a message too.
    TBinaryProtocol in(tap, stringLimit, containerLimit, false, true);
    ThriftMessage message;
    in.readMessageBegin(message.name, message.type, message.seqid);
    in.skip(protocol::T_STRUCT);
    in.readMessageEnd();
    message.bytes = tap->take();
    return message;
}
