#ifndef THRIFTMESSAGES_H
#define THRIFTMESSAGES_H

#include "account_logic_types.h"

#include <QByteArray>

#include <thrift/TApplicationException.h>
#include <thrift/protocol/TProtocol.h>

#include <memory>
#include <string>

class WireTap;

// One message as it came off the wire.
struct ThriftMessage
{
    std::string name;
    apache::thrift::protocol::TMessageType type = apache::thrift::protocol::T_CALL;
    int32_t seqid = 0;
    QByteArray bytes;
};

/*!
    Thrift binary messages as test servers send them and as the tests expect
    them on the wire (strict version 1 headers), and the reading of one whole
    message off a socket with Thrift's own protocol classes.
*/
class ThriftMessages
{
public:
    static QByteArray header(apache::thrift::protocol::TMessageType type, const QByteArray &name,
                             int32_t seqid = 0);
    // An EXCEPTION message carrying a TApplicationException.
    static QByteArray
    exception(const QByteArray &name, const QByteArray &text,
              apache::thrift::TApplicationException::TApplicationExceptionType type,
              int32_t seqid = 0);
    // A REPLY whose result structure is empty: no success, no exception.
    static QByteArray replyWithoutResult(const QByteArray &name, int32_t seqid = 0);
    // A REPLY of a method that returns a Result.
    static QByteArray reply(const QByteArray &name,
                            const accounting::logic::thriftapi::Result &result, int32_t seqid = 0);
    // A REPLY whose Result declares a 0x7fffffff-byte session id, followed by
    // a few bytes only.
    static QByteArray hugeLengthReply(const QByteArray &name, int32_t seqid = 0);

    /*!
        Reads one whole message through tap: the header, strict or the old
        unversioned one, then the one structure that follows, skipped. The
        bytes come back exactly as they were read. Throws TException when the
        peer hangs up or sends what is no message; what was read so far is
        then left in the tap.
    */
    static ThriftMessage read(const std::shared_ptr<WireTap> &tap);
};

#endif // THRIFTMESSAGES_H
