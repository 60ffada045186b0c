// Policy parsing; answers "org.freedesktop.DBus.Error.NotSupported" after
// the frame until its body is built.
#include "service/request_frame.h"

ContextMgrService::ExtendedPolicy ContextMgrService::policies_parse(const Policy& origin_policy, const std::string& sender)
{
    (void)origin_policy;
    return notSupported<Method::policies_parse, ContextMgrService::ExtendedPolicy>(sender);
}
