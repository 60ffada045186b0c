// User-set type ids and inherit flags; each answers
// "org.freedesktop.DBus.Error.NotSupported" after the frame until its body is built.
#include "service/request_frame.h"

int32_t ContextMgrService::setFileTid(const std::string& filepath, const uint32_t& tid, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)tid;
    (void)pattern_match;
    return notSupported<Method::setFileTid, int32_t>(sender);
}

ContextMgrService::U32ByPath ContextMgrService::queryUserSetFileTid(const std::string& filepath, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)pattern_match;
    return notSupported<Method::queryUserSetFileTid, ContextMgrService::U32ByPath>(sender);
}

ContextMgrService::U32ByPath ContextMgrService::showUserSetFileTid(const std::string& sender)
{
    return notSupported<Method::showUserSetFileTid, ContextMgrService::U32ByPath>(sender);
}

int32_t ContextMgrService::delUserSetFileTid(const std::string& filepath, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)pattern_match;
    return notSupported<Method::delUserSetFileTid, int32_t>(sender);
}

int32_t ContextMgrService::delAllUserSetFileTid(const std::string& sender)
{
    return notSupported<Method::delAllUserSetFileTid, int32_t>(sender);
}

int32_t ContextMgrService::setFileInheritFlag(const std::string& filepath, const uint32_t& inheritFlag, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)inheritFlag;
    (void)pattern_match;
    return notSupported<Method::setFileInheritFlag, int32_t>(sender);
}

ContextMgrService::U32ByPath ContextMgrService::queryUserSetFileInheritFlag(const std::string& filepath, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)pattern_match;
    return notSupported<Method::queryUserSetFileInheritFlag, ContextMgrService::U32ByPath>(sender);
}

ContextMgrService::U32ByPath ContextMgrService::showUserSetFileInheritFlag(const std::string& sender)
{
    return notSupported<Method::showUserSetFileInheritFlag, ContextMgrService::U32ByPath>(sender);
}

int32_t ContextMgrService::delUserSetFileInheritFlag(const std::string& filepath, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)pattern_match;
    return notSupported<Method::delUserSetFileInheritFlag, int32_t>(sender);
}

int32_t ContextMgrService::delAllUserSetFileInheritFlag(const std::string& sender)
{
    return notSupported<Method::delAllUserSetFileInheritFlag, int32_t>(sender);
}
