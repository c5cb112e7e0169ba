#include "AdminProcessor.h"

#include "AccountingProcessor.h"
#include "UnknownOutcome.h"

#include <thrift/TApplicationException.h>

#include <set>

using apache::thrift::TApplicationException;

namespace {

bool accountingMethod(const std::string &name)
{
    static const std::set<std::string> names {"pay",
                                              "cancel",
                                              "back",
                                              "balance",
                                              "add",
                                              "sub",
                                              "makeEarn",
                                              "makeEarnBack",
                                              "makePay",
                                              "makePayBack",
                                              "commitTransaction",
                                              "rollbackTransaction"};
    return names.count(name) > 0;
}

} // namespace

AdminProcessor::AdminProcessor(
    std::shared_ptr<accounting::logic::thriftapi::AccountingAdminLogicServiceIf> admin,
    std::shared_ptr<AccountingProcessor> accounting)
    : AccountingAdminLogicServiceProcessor(std::move(admin))
    , m_accounting(std::move(accounting))
{
}

bool AdminProcessor::dispatchCall(apache::thrift::protocol::TProtocol *in,
                                  apache::thrift::protocol::TProtocol *out, const std::string &name,
                                  int32_t seqid, void *callContext)
{
    if (accountingMethod(name))
        return m_accounting->dispatchCall(in, out, name, seqid, callContext);
    try {
        return AccountingAdminLogicServiceProcessor::dispatchCall(in, out, name, seqid,
                                                                  callContext);
    } catch (const UnknownOutcome &unknown) {
        AccountingProcessor::answerUnknown(out, name, seqid, unknown);
        return true;
    }
}
