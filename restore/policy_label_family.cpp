// The identity of one path named by a policy: computed from the store,
// written into the path's label and recorded in the store map of its kind.
// The policy workers run these as tasks on the service's pool.
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>

#include <log4cpp/Priority.hh>

#include "common/file_utils.h"
#include "common/label_xattr.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_utils.h"
#include "restore/inherit_flag_memo.h"
#include "restore/label_path_lock.h"
#include "restore/vetu_restore_context.h"
#include "store/label_defaults.h"
#include "store/vetu_restore_init.h"

// The log lines carry the member's name, not the shared body's.
#define MEMBER_LOG(level, ...) VETU_LOG_NAMED(member.name, log_priority::level, log##level, __VA_ARGS__)

namespace {

// Directories above a policy path pass everything on.

// The value of the last pattern in key order that matches path, then an exact
// entry over it; value stays as it is without any match.
void applyUserSetting(const std::map<std::string, uint32_t>& patterns, const std::map<std::string, uint32_t>& exact,
                      const std::string& path, uint32_t& value)
{
    for (const auto& entry : patterns) {
        if (isWildcardMatch(entry.first, path)) {
            value = entry.second;
        }
    }
    const auto it = exact.find(path);
    if (it != exact.end()) {
        value = it->second;
    }
}

void recordPolicyEntry(SyncMap<std::string, vetu_id_t>& record, const std::string& file, const vetu_id_t& id,
                       const PolicyLabelHints& hints)
{
    if (hints.records != nullptr) {
        hints.records->add(record, file, id);
    } else {
        record.set(file, id);
    }
}

}  // namespace

struct VetuRestoreContext::PolicyLabelMember {
    const char* name;
    bool sid;                   // the label's sid is replaced, else its oid
    bool link;                  // the link itself, else what the path resolves to
    bool hasRecordFlag;         // the two file members
    bool commaInWrittenLine;    // their written-label lines differ by one comma
    SyncMap<std::string, vetu_id_t> IdentityMaps::*map;
};

PolicyRecords::~PolicyRecords()
{
    try {
        flush();
    } catch (const std::exception& e) {
        LOG_ERROR("policy records lost: %s", e.what());
    }
}

void PolicyRecords::add(Map& map, const std::string& path, const vetu_id_t& id)
{
    if (m_map != &map) {
        flush();
        m_map = &map;
    }
    m_entries.emplace_back(path, id);
}

void PolicyRecords::flush()
{
    if (m_map != nullptr) {
        m_map->setEach(m_entries.begin(), m_entries.end());
    }
    m_entries.clear();
}

vetu_id_t VetuRestoreContext::setPolicyLabel(const PolicyLabelMember& member, const std::string& path,
                                             VetuRestoreInit& store, uint64_t pathId, uint64_t pkgId, bool noRecord,
                                             const PolicyLabelHints& hints)
{
    std::string file = hints.resolved ? path : member.link ? getLinkRealPath(path) : getRealPath(path);
    if (file.empty()) {
        file = path;
    }
    if (member.link && !member.sid) {
        MEMBER_LOG(Info, "file_path %s", logSafe(file).c_str());
    }
    vetu_id_t id;
    if ((member.sid ? store.getFileSid(file, id) : store.getFileOid(file, id)) != 0) {
        if (member.sid) {
            MEMBER_LOG(Error, "get sid failed, %s", logSafe(file).c_str());
        } else {
            MEMBER_LOG(Error, "get oid failed, %s", logSafe(file).c_str());
        }
        return kFailedIdentity;
    }
    if (pathId != 0) {
        id.path_id = pathId;
    }
    // With a memo, one stat tells both the directory whose flag is set and
    // whether the path exists; a name the flag setter would expand as a
    // pattern, or one whose backslashes are dropped, takes the long way.
    struct stat status {};
    const bool memo = hints.memo != nullptr && !containsBackslash(file) && !containsWildcard(file);
    // A resolved path that the caller found to be no link needs neither that
    // stat nor the link checks of the label calls.
    const bool checked = memo && !member.link && hints.resolved && hints.status != nullptr &&
                         !S_ISLNK(hints.status->st_mode);
    if (checked) {
        status = *hints.status;
    }
    const bool exists = checked || (memo && stat(file.c_str(), &status) == 0);
    if ((exists ? hints.memo->setFull(file, status) : setParentDirInheritFlag(file, kInheritFlagFull)) != 0) {
        MEMBER_LOG(Warn, "set parent dir inherit flag failed, %s", logSafe(file).c_str());
    }
    if (containsBackslash(file)) {
        file = removeBackslashes(file);
    }
    SyncMap<std::string, vetu_id_t>& record = store.*member.map;
    if (memo ? !exists : fileExists(file.c_str()) != 0) {
        if (!noRecord) {
            recordPolicyEntry(record, file, id, hints);
        }
        if (member.sid) {
            MEMBER_LOG(Info, "%s sid: %016lx-%016lx-%016lx", logSafe(file).c_str(), id.pkg_id, id.file_id,
                       id.path_id);
        } else {
            MEMBER_LOG(Info, "file: %s oid: %016lx-%016lx-%016lx", logSafe(file).c_str(), id.pkg_id, id.file_id,
                       id.path_id);
        }
        return id;
    }
    if (member.link && !isSymlink(file.c_str())) {
        if (member.sid) {
            MEMBER_LOG(Error, "%s is not symlink.", logSafe(file).c_str());
        } else {
            MEMBER_LOG(Error, "%s is not symlink...", logSafe(file).c_str());
        }
        return kFailedIdentity;
    }
    const int mode = member.link ? kXattrModeLink : kXattrModeFile;
    LabelContext current;
    LabelContext next;
    int written;
    {
        // What the lock would stat for is in status already.
        const auto labelLock = exists && !member.link ? lockLabelOfFile(status) : lockLabelOfPath(file, member.link);
        if ((checked ? getCheckedFileLabelFromXattr(file.c_str(), &current)
                     : getFileLabelFromXattr(file.c_str(), &current, mode)) != 0) {
            MEMBER_LOG(Warn, "get file label from xattr failed, %s", logSafe(file).c_str());
            current = LabelContext{};
        }
        next = current;
        vetu_id_t& part = member.sid ? next.sid : next.oid;
        part = id;
        const IdentifierTables* tables = hints.userTables;
        applyUserSetting(*(tables ? tables->tidPatterns : store.identityDataUserConfigTidGlob.snapshot()),
                         *(tables ? tables->tids : store.identityDataUserConfigTid.snapshot()), file, next.tid);
        applyUserSetting(*(tables ? tables->inheritFlagPatterns : store.identityDataUserConfigInheritFlagGlob.snapshot()),
                         *(tables ? tables->inheritFlags : store.identityDataUserConfigInheritFlag.snapshot()), file,
                         next.inherit_flag);
        if (pkgId != 0) {
            part.pkg_id = pkgId;
        }
        written = checked ? setCheckedFileLabelToXattr(file.c_str(), &next)
                          : setFileLabelToXattr(file.c_str(), &next, mode);
        if (written == 0 && exists && S_ISDIR(status.st_mode)) {
            hints.memo->forget(file);
        }
    }
    const vetu_id_t result = member.sid ? next.sid : next.oid;
    if (written != 0) {
        if (!isFilesystemReadOnly(file.c_str())) {
            MEMBER_LOG(Error, "set file label to xattr failed, %s", logSafe(file).c_str());
            return kFailedIdentity;
        }
        const auto index = store.m_mapPathToIdentityType.load();
        const auto category = index->find(file);
        if (category == index->end() || category->second.empty()) {
            const vetu_id_t& before = member.sid ? current.sid : current.oid;
            const bool report = !member.hasRecordFlag || (noRecord ? before.path_id == 0 : before.file_id == 0);
            if (report) {
                m_labelStatus.store(1);
                Logger::getInstance()->logInfoCategory(member.name, __LINE__, "m_labelStatus: %d, file: %s", 1,
                                                       logSafe(file).c_str());
            }
        }
    }
    if (!noRecord) {
        recordPolicyEntry(record, file, result, hints);
    }
    if (!Logger::getInstance()->isEnabled(log4cpp::Priority::INFO)) {
        return result;
    }
    char label[256];
    snprintf(label, sizeof(label),
             "sid: %016lx-%016lx-%016lx tid: %08x oid: %016lx-%016lx-%016lx inherit_flag: %08x, "
             "create_oid: %016lx-%016lx-%016lx",
             next.sid.pkg_id, next.sid.file_id, next.sid.path_id, next.tid, next.oid.pkg_id, next.oid.file_id,
             next.oid.path_id, next.inherit_flag, next.create_oid.pkg_id, next.create_oid.file_id,
             next.create_oid.path_id);
    MEMBER_LOG(Info, member.commaInWrittenLine ? "file: %s, %s" : "file: %s %s", logSafe(file).c_str(), label);
    return result;
}

vetu_id_t VetuRestoreContext::getFileOidAndSetLabel(const std::string& path, VetuRestoreInit& store,
                                                    uint64_t pathId, uint64_t pkgId, bool noRecord,
                                                    const PolicyLabelHints& hints)
{
    static const PolicyLabelMember member{"getFileOidAndSetLabel", false, false, true, true,
                                          &IdentityMaps::identityDataFileOid};
    return setPolicyLabel(member, path, store, pathId, pkgId, noRecord, hints);
}

vetu_id_t VetuRestoreContext::getFileSidAndSetLabel(const std::string& path, VetuRestoreInit& store,
                                                    uint64_t pathId, uint64_t pkgId, bool noRecord,
                                                    const PolicyLabelHints& hints)
{
    static const PolicyLabelMember member{"getFileSidAndSetLabel", true, false, true, true,
                                          &IdentityMaps::identityDataFileSid};
    return setPolicyLabel(member, path, store, pathId, pkgId, noRecord, hints);
}

vetu_id_t VetuRestoreContext::getDirOidAndSetLabel(const std::string& path, VetuRestoreInit& store, uint64_t pathId,
                                                   uint64_t pkgId, const PolicyLabelHints& hints)
{
    static const PolicyLabelMember member{"getDirOidAndSetLabel", false, false, false, true,
                                          &IdentityMaps::identityDataDirOid};
    return setPolicyLabel(member, path, store, pathId, pkgId, false, hints);
}

vetu_id_t VetuRestoreContext::getDirSidAndSetLabel(const std::string& path, VetuRestoreInit& store, uint64_t pathId,
                                                   uint64_t pkgId, const PolicyLabelHints& hints)
{
    static const PolicyLabelMember member{"getDirSidAndSetLabel", true, false, false, false,
                                          &IdentityMaps::identityDataDirSid};
    return setPolicyLabel(member, path, store, pathId, pkgId, false, hints);
}

vetu_id_t VetuRestoreContext::getLinkFileOidAndSetLabel(const std::string& path, VetuRestoreInit& store,
                                                        uint64_t pathId, uint64_t pkgId,
                                                        const PolicyLabelHints& hints)
{
    static const PolicyLabelMember member{"getLinkFileOidAndSetLabel", false, true, false, false,
                                          &IdentityMaps::identityDataLnkfileOid};
    return setPolicyLabel(member, path, store, pathId, pkgId, false, hints);
}

vetu_id_t VetuRestoreContext::getLinkFileSidAndSetLabel(const std::string& path, VetuRestoreInit& store,
                                                        uint64_t pathId, uint64_t pkgId,
                                                        const PolicyLabelHints& hints)
{
    static const PolicyLabelMember member{"getLinkFileSidAndSetLabel", true, true, false, true,
                                          &IdentityMaps::identityDataLnkfileSid};
    return setPolicyLabel(member, path, store, pathId, pkgId, false, hints);
}

vetu_id_t VetuRestoreContext::getTreeEntryIdAndSetLabel(const std::string& path, VetuRestoreInit& store,
                                                        uint64_t pathId, bool sid, const PolicyLabelHints& hints)
{
    struct stat status {};
    const bool found = lstat(path.c_str(), &status) == 0;
    if (found && S_ISLNK(status.st_mode)) {
        static const PolicyLabelMember oidLink{"getTreeEntryIdAndSetLabel", false, true, false, false,
                                               &IdentityMaps::identityDataLnkfileOid};
        static const PolicyLabelMember sidLink{"getTreeEntryIdAndSetLabel", true, true, false, false,
                                               &IdentityMaps::identityDataLnkfileSid};
        return setPolicyLabel(sid ? sidLink : oidLink, path, store, pathId, 0, true, hints);
    }
    PolicyLabelHints looked = hints;
    looked.status = found ? &status : nullptr;
    return sid ? getFileSidAndSetLabel(path, store, pathId, 0, true, looked)
               : getFileOidAndSetLabel(path, store, pathId, 0, true, looked);
}
