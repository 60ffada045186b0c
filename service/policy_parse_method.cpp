// Policy parsing through the request frame: the policy's own refusals and a
// failed phase reach the client as D-Bus errors; any other failure of the
// work answers the empty extended policy.
#include "common/timer.h"
#include "service/request_frame.h"

ContextMgrService::ExtendedPolicy ContextMgrService::policies_parse(const Policy& origin_policy, const std::string& sender)
{
    const Timer timer("#############Get Identity Data");
    return runRequest<Method::policies_parse>(sender, kNoArgumentChecks, [&] {
        try {
            return m_policyParser.policies_parse(origin_policy);
        } catch (const DBus::Error& e) {
            // The parser raises only with literal texts, which outlive the reply.
            throw LateArgumentError(e.name(), e.message());
        }
    });
}
