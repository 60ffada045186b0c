// User-set package ids, file oids and sids; each answers
// "org.freedesktop.DBus.Error.NotSupported" after the frame until its body is built.
#include "service/request_frame.h"

int32_t ContextMgrService::setPkgId(const std::string& pkgname, const uint64_t& id, const std::string& sender)
{
    (void)pkgname;
    (void)id;
    return notSupported<Method::setPkgId, int32_t>(sender);
}

ContextMgrService::IdTriple ContextMgrService::queryUserSetPkgId(const std::string& pkgname, const std::string& sender)
{
    (void)pkgname;
    return notSupported<Method::queryUserSetPkgId, ContextMgrService::IdTriple>(sender);
}

ContextMgrService::IdTriple ContextMgrService::showUserSetPkgId(const std::string& sender)
{
    return notSupported<Method::showUserSetPkgId, ContextMgrService::IdTriple>(sender);
}

int32_t ContextMgrService::delUserSetPkgId(const std::string& pkgname, const std::string& sender)
{
    (void)pkgname;
    return notSupported<Method::delUserSetPkgId, int32_t>(sender);
}

int32_t ContextMgrService::delAllUserSetPkgId(const std::string& sender)
{
    return notSupported<Method::delAllUserSetPkgId, int32_t>(sender);
}

int32_t ContextMgrService::setFileOid(const std::string& filepath, const IdTriple& oid, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)oid;
    (void)pattern_match;
    return notSupported<Method::setFileOid, int32_t>(sender);
}

ContextMgrService::IdTripleByPath ContextMgrService::queryUserSetFileOid(const std::string& filepath, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)pattern_match;
    return notSupported<Method::queryUserSetFileOid, ContextMgrService::IdTripleByPath>(sender);
}

ContextMgrService::IdTripleByPath ContextMgrService::showUserSetFileOid(const std::string& sender)
{
    return notSupported<Method::showUserSetFileOid, ContextMgrService::IdTripleByPath>(sender);
}

int32_t ContextMgrService::delUserSetFileOid(const std::string& filepath, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)pattern_match;
    return notSupported<Method::delUserSetFileOid, int32_t>(sender);
}

int32_t ContextMgrService::delAllUserSetFileOid(const std::string& sender)
{
    return notSupported<Method::delAllUserSetFileOid, int32_t>(sender);
}

int32_t ContextMgrService::setFileSid(const std::string& filepath, const IdTriple& sid, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)sid;
    (void)pattern_match;
    return notSupported<Method::setFileSid, int32_t>(sender);
}

ContextMgrService::IdTripleByPath ContextMgrService::queryUserSetFileSid(const std::string& filepath, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)pattern_match;
    return notSupported<Method::queryUserSetFileSid, ContextMgrService::IdTripleByPath>(sender);
}

ContextMgrService::IdTripleByPath ContextMgrService::showUserSetFileSid(const std::string& sender)
{
    return notSupported<Method::showUserSetFileSid, ContextMgrService::IdTripleByPath>(sender);
}

int32_t ContextMgrService::delUserSetFileSid(const std::string& filepath, const int32_t& pattern_match, const std::string& sender)
{
    (void)filepath;
    (void)pattern_match;
    return notSupported<Method::delUserSetFileSid, int32_t>(sender);
}

int32_t ContextMgrService::delAllUserSetFileSid(const std::string& sender)
{
    return notSupported<Method::delAllUserSetFileSid, int32_t>(sender);
}
