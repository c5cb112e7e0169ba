#ifndef ACCOUNTINGPROCESSOR_H
#define ACCOUNTINGPROCESSOR_H

#include "AccountingLogicService.h"

/*!
    The generated processor, with one change: a request whose handler threw
    UnknownOutcome is answered with a TApplicationException of type
    INTERNAL_ERROR (the generated code would say UNKNOWN, or nothing at all
    for a type it does not catch). The request has been read in full by then,
    so the connection stays usable.
*/
class AccountingProcessor final
    : public accounting::logic::thriftapi::AccountingLogicServiceProcessor
{
public:
    explicit AccountingProcessor(
        std::shared_ptr<accounting::logic::thriftapi::AccountingLogicServiceIf> handler);

protected:
    bool dispatchCall(apache::thrift::protocol::TProtocol *in,
                      apache::thrift::protocol::TProtocol *out, const std::string &name,
                      int32_t seqid, void *callContext) override;
};

#endif // ACCOUNTINGPROCESSOR_H
