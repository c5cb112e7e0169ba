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
struct UnknownOutcome;

class AccountingProcessor final
    : public accounting::logic::thriftapi::AccountingLogicServiceProcessor
{
public:
    explicit AccountingProcessor(
        std::shared_ptr<accounting::logic::thriftapi::AccountingLogicServiceIf> handler);

    // Writes the INTERNAL_ERROR answer to a request whose outcome is unknown.
    static void answerUnknown(apache::thrift::protocol::TProtocol *out, const std::string &name,
                              int32_t seqid, const UnknownOutcome &unknown);

protected:
    bool dispatchCall(apache::thrift::protocol::TProtocol *in,
                      apache::thrift::protocol::TProtocol *out, const std::string &name,
                      int32_t seqid, void *callContext) override;

private:
    // The administrative port serves this service's methods too.
    friend class AdminProcessor;
};

#endif // ACCOUNTINGPROCESSOR_H
