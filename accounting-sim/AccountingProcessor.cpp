#include "AccountingProcessor.h"

#include "UnknownOutcome.h"

#include <thrift/TApplicationException.h>

using apache::thrift::TApplicationException;

AccountingProcessor::AccountingProcessor(
    std::shared_ptr<accounting::logic::thriftapi::AccountingLogicServiceIf> handler)
    : AccountingLogicServiceProcessor(std::move(handler))
{
}

bool AccountingProcessor::dispatchCall(apache::thrift::protocol::TProtocol *in,
                                       apache::thrift::protocol::TProtocol *out,
                                       const std::string &name, int32_t seqid, void *callContext)
{
    try {
        return AccountingLogicServiceProcessor::dispatchCall(in, out, name, seqid, callContext);
    } catch (const UnknownOutcome &unknown) {
        answerUnknown(out, name, seqid, unknown);
        return true;
    }
}

void AccountingProcessor::answerUnknown(apache::thrift::protocol::TProtocol *out,
                                        const std::string &name, int32_t seqid,
                                        const UnknownOutcome &unknown)
{
    // The handler has logged the cause; the till learns only that the
    // outcome is unknown, never that it was refused.
    const TApplicationException answer(TApplicationException::INTERNAL_ERROR, unknown.message);
    out->writeMessageBegin(name, apache::thrift::protocol::T_EXCEPTION, seqid);
    answer.write(out);
    out->writeMessageEnd();
    out->getTransport()->writeEnd();
    out->getTransport()->flush();
}
