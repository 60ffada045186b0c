// User-set package ids, file oids and sids: the argument checks of each
// method around the shared verbs of user_set_entries.h.
#include <cstddef>
#include <limits>

#include "service/request_frame.h"
#include "service/user_set_entries.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr std::size_t kMaxPkgNameBytes = 512;
constexpr uint64_t kInvalidPkgId = std::numeric_limits<uint64_t>::max();
constexpr const char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

const char* checkPkgName(const std::string& name)
{
    if (name.empty()) {
        return "pkgname is empty";
    }
    return name.size() > kMaxPkgNameBytes ? "pkgname too long" : nullptr;
}

// The texts of a triple's checks before and after the wait.
struct TripleTexts {
    const char* empty;
    const char* missingKeys;
};
constexpr TripleTexts kOidTexts{"oid map is empty", "oid map missing required keys"};
constexpr TripleTexts kSidTexts{"sid map is empty", "sid map missing required keys"};

const char* checkTripleArgs(const std::string& path, const ContextMgrService::IdTriple& triple,
                            const TripleTexts& texts)
{
    if (const char* invalid = checkUserSetPath(path)) {
        return invalid;
    }
    return triple.empty() ? texts.empty : nullptr;
}

// Further keys are ignored.
vetu_id_t tripleOf(const ContextMgrService::IdTriple& triple, const TripleTexts& texts)
{
    const auto pkg = triple.find("pkg_id");
    const auto file = triple.find("file_id");
    const auto path = triple.find("path_id");
    if (pkg == triple.end() || file == triple.end() || path == triple.end()) {
        throw LateArgumentError(kInvalidArgs, texts.missingKeys);
    }
    return vetu_id_t{pkg->second, file->second, path->second};
}

ContextMgrService::IdTripleByPath toBus(const std::map<std::string, vetu_id_t>& entries)
{
    ContextMgrService::IdTripleByPath out;
    for (const auto& entry : entries) {
        out[entry.first] = {{"pkg_id", entry.second.pkg_id},
                            {"file_id", entry.second.file_id},
                            {"path_id", entry.second.path_id}};
    }
    return out;
}

}  // namespace

int32_t ContextMgrService::setPkgId(const std::string& pkgname, const uint64_t& id, const std::string& sender)
{
    return runRequest<Method::setPkgId>(
        sender,
        [&]() -> const char* {
            const char* invalid = checkPkgName(pkgname);
            return invalid != nullptr || id != kInvalidPkgId ? invalid : "invalid id";
        },
        [&] { return int32_t(setUserEntry(m_store, kUserSetPkgIds, pkgname, id, false)); });
}

ContextMgrService::IdTriple ContextMgrService::queryUserSetPkgId(const std::string& pkgname, const std::string& sender)
{
    return runRequest<Method::queryUserSetPkgId>(
        sender, [&] { return checkPkgName(pkgname); },
        [&] { return queryUserEntries(m_store, kUserSetPkgIds, pkgname, false); });
}

ContextMgrService::IdTriple ContextMgrService::showUserSetPkgId(const std::string& sender)
{
    return runRequest<Method::showUserSetPkgId>(sender, kNoArgumentChecks,
                                                [&] { return showUserEntries(m_store, kUserSetPkgIds); });
}

int32_t ContextMgrService::delUserSetPkgId(const std::string& pkgname, const std::string& sender)
{
    return runRequest<Method::delUserSetPkgId>(
        sender, [&] { return checkPkgName(pkgname); },
        [&] { return int32_t(deleteUserEntry(m_store, kUserSetPkgIds, pkgname, false)); });
}

int32_t ContextMgrService::delAllUserSetPkgId(const std::string& sender)
{
    return runRequest<Method::delAllUserSetPkgId>(
        sender, kNoArgumentChecks, [&] { return int32_t(deleteAllUserEntries(m_store, kUserSetPkgIds)); });
}

int32_t ContextMgrService::setFileOid(const std::string& filepath, const IdTriple& oid, const int32_t& pattern_match,
                                      const std::string& sender)
{
    return runRequest<Method::setFileOid>(
        sender, [&] { return checkTripleArgs(filepath, oid, kOidTexts); },
        [&] {
            return int32_t(setUserEntry(m_store, kUserSetOids, filepath, tripleOf(oid, kOidTexts), pattern_match != 0));
        });
}

ContextMgrService::IdTripleByPath ContextMgrService::queryUserSetFileOid(const std::string& filepath,
                                                                         const int32_t& pattern_match,
                                                                         const std::string& sender)
{
    return runRequest<Method::queryUserSetFileOid>(
        sender, [&] { return checkUserSetPath(filepath); },
        [&] { return toBus(queryUserEntries(m_store, kUserSetOids, filepath, pattern_match != 0)); });
}

ContextMgrService::IdTripleByPath ContextMgrService::showUserSetFileOid(const std::string& sender)
{
    return runRequest<Method::showUserSetFileOid>(sender, kNoArgumentChecks,
                                                  [&] { return toBus(showUserEntries(m_store, kUserSetOids)); });
}

int32_t ContextMgrService::delUserSetFileOid(const std::string& filepath, const int32_t& pattern_match,
                                             const std::string& sender)
{
    return runRequest<Method::delUserSetFileOid>(
        sender, [&] { return checkUserSetPath(filepath); },
        [&] { return int32_t(deleteUserEntry(m_store, kUserSetOids, filepath, pattern_match != 0)); });
}

int32_t ContextMgrService::delAllUserSetFileOid(const std::string& sender)
{
    return runRequest<Method::delAllUserSetFileOid>(
        sender, kNoArgumentChecks, [&] { return int32_t(deleteAllUserEntries(m_store, kUserSetOids)); });
}

int32_t ContextMgrService::setFileSid(const std::string& filepath, const IdTriple& sid, const int32_t& pattern_match,
                                      const std::string& sender)
{
    return runRequest<Method::setFileSid>(
        sender, [&] { return checkTripleArgs(filepath, sid, kSidTexts); },
        [&] {
            return int32_t(setUserEntry(m_store, kUserSetSids, filepath, tripleOf(sid, kSidTexts), pattern_match != 0));
        });
}

ContextMgrService::IdTripleByPath ContextMgrService::queryUserSetFileSid(const std::string& filepath,
                                                                         const int32_t& pattern_match,
                                                                         const std::string& sender)
{
    return runRequest<Method::queryUserSetFileSid>(
        sender, [&] { return checkUserSetPath(filepath); },
        [&] { return toBus(queryUserEntries(m_store, kUserSetSids, filepath, pattern_match != 0)); });
}

ContextMgrService::IdTripleByPath ContextMgrService::showUserSetFileSid(const std::string& sender)
{
    return runRequest<Method::showUserSetFileSid>(sender, kNoArgumentChecks,
                                                  [&] { return toBus(showUserEntries(m_store, kUserSetSids)); });
}

int32_t ContextMgrService::delUserSetFileSid(const std::string& filepath, const int32_t& pattern_match,
                                             const std::string& sender)
{
    return runRequest<Method::delUserSetFileSid>(
        sender, [&] { return checkUserSetPath(filepath); },
        [&] { return int32_t(deleteUserEntry(m_store, kUserSetSids, filepath, pattern_match != 0)); });
}

int32_t ContextMgrService::delAllUserSetFileSid(const std::string& sender)
{
    return runRequest<Method::delAllUserSetFileSid>(
        sender, kNoArgumentChecks, [&] { return int32_t(deleteAllUserEntries(m_store, kUserSetSids)); });
}
