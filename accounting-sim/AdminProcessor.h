#ifndef ADMINPROCESSOR_H
#define ADMINPROCESSOR_H

#include "AccountingAdminLogicService.h"

#include <memory>

class AccountingProcessor;

/*!
    The administrative port's processor: AccountingAdminLogicService, and
    AccountingLogicService's methods too (their names differ), so that an
    operator credits or debits a card (add, sub) on the same port, and a
    handler that threw UnknownOutcome is answered with a
    TApplicationException of type INTERNAL_ERROR, as AccountingProcessor
    answers it.
*/
class AdminProcessor final
    : public accounting::logic::thriftapi::AccountingAdminLogicServiceProcessor
{
public:
    AdminProcessor(
        std::shared_ptr<accounting::logic::thriftapi::AccountingAdminLogicServiceIf> admin,
        std::shared_ptr<AccountingProcessor> accounting);

protected:
    bool dispatchCall(apache::thrift::protocol::TProtocol *in,
                      apache::thrift::protocol::TProtocol *out, const std::string &name,
                      int32_t seqid, void *callContext) override;

private:
    std::shared_ptr<AccountingProcessor> m_accounting;
};

#endif // ADMINPROCESSOR_H
