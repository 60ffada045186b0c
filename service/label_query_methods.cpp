// Label queries and restores of one path or tree: the queries prefer the
// path's own label attribute and fall back to the store; the restores write a
// freshly computed label and answer what is then on the file.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/label_xattr.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_safety.h"
#include "common/path_utils.h"
#include "restore/vetu_restore_context.h"
#include "service/method_log.h"
#include "service/request_frame.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr uint32_t kAllOnes32 = std::numeric_limits<uint32_t>::max();
constexpr std::size_t kMaxExcludedDirs = 50;
// The longest label text a client is answered; a longer attribute is not
// one this program wrote, and is refused rather than cut.
constexpr std::size_t kMaxLabelBytes = 256;
// What the searches of the restore context call the two sides.
constexpr int kObjectSide = 0;
constexpr int kSubjectSide = 1;

const char* checkQueryPath(const std::string& path)
{
    const bool allowSymlink = false;
    const bool allowWildcard = true;
    const bool allowMissing = true;
    return isFilePathSafe(path, allowSymlink, allowWildcard, allowMissing) ? nullptr : "filepath is not safe";
}

const char* checkRestorePath(const std::string& path)
{
    const bool allowSymlink = true;
    const bool allowWildcard = true;
    const bool allowMissing = true;
    return isFilePathSafe(path, allowSymlink, allowWildcard, allowMissing) ? nullptr : "filepath is not safe";
}

// The path with every link resolved; false (errno kept) when it does not resolve.
bool resolvePath(const std::string& path, std::string& resolved)
{
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return false;
    }
    resolved = real;
    free(real);
    return true;
}

// Reads the label of the resolved path into label; target is the resolved
// path, or the path as sent (logged) when it does not resolve. False when
// there is no readable label.
bool readOwnLabel(const std::string& path, const char* missingText, std::string& target, LabelContext& label)
{
    if (!resolvePath(path, target)) {
        METHOD_LOG(logDebug, missingText, path.c_str());
        target = path;
        return false;
    }
    return getFileLabelFromXattr(target.c_str(), &label, kXattrModeFile) == 0;
}

// The label attribute of path, not following a final link, up to its first
// NUL; false when it cannot be read or is longer than any label.
bool readLabelText(const std::string& path, std::string& text)
{
    char value[kMaxLabelBytes];
    const ssize_t size = lgetxattr(path.c_str(), kLabelXattrName, value, sizeof(value));
    if (size < 0) {
        return false;
    }
    text.assign(value, strnlen(value, static_cast<std::size_t>(size)));
    return true;
}

// Resolves path, relabels it and answers the label then on it; "" when any
// step fails.
template <typename Relabel>
std::string relabelAndRead(const std::string& path, Relabel&& relabel, const char* successText)
{
    std::string resolved;
    if (!resolvePath(path, resolved)) {
        METHOD_LOG(logError, "%s restore single file error, realpath: %s", logSafe(path).c_str(), strerror(errno));
        return std::string();
    }
    std::string text;
    if (!relabel(resolved) || !readLabelText(resolved, text)) {
        return std::string();
    }
    METHOD_LOG(logInfo, successText, resolved.c_str(), text.c_str());
    return text;
}

ContextMgrService::IdTriple tripleOf(const vetu_id_t& id)
{
    return {{"pkg_id", id.pkg_id}, {"file_id", id.file_id}, {"path_id", id.path_id}};
}

// The object and subject twins of the identity query.
struct IdentitySide {
    const char* name;  // "oid" or "sid", in the log lines
    const char* missingText;
    int searchType;
    vetu_id_t LabelContext::*labelField;
    SyncMap<std::string, vetu_id_t> VetuRestoreInit::*exact;
    SyncMap<std::string, vetu_id_t> VetuRestoreInit::*patterns;
    int (VetuRestoreInit::*lookup)(const std::string&, vetu_id_t&);
};

constexpr IdentitySide kObjectIdentity{"oid",
                                       "file %s does not exist.",
                                       kObjectSide,
                                       &LabelContext::oid,
                                       &VetuRestoreInit::identityDataFileOid,
                                       &VetuRestoreInit::identityDataFileWildcardOid,
                                       &VetuRestoreInit::getFileOid};
constexpr IdentitySide kSubjectIdentity{"sid",
                                        "getFileSid failed: %s does not exist...",
                                        kSubjectSide,
                                        &LabelContext::sid,
                                        &VetuRestoreInit::identityDataFileSid,
                                        &VetuRestoreInit::identityDataFileWildcardSid,
                                        &VetuRestoreInit::getFileSid};

// The identity the store gives a path that has no readable label.
vetu_id_t identityFromStore(VetuRestoreInit& store, const IdentitySide& side, const std::string& target,
                            const std::string& sent)
{
    vetu_id_t id{};
    const VetuRestoreContext::PathPolicy parent =
        VetuRestoreContext::findNearestParentDirHasPolicy(target, store, side.searchType);
    const VetuRestoreContext::PathPolicy wildcard = VetuRestoreContext::findWildcardPathid(target, store, side.searchType);
    (store.*side.exact).get(target, id);
    bool patternMatched = false;
    for (const auto& [pattern, entry] : *(store.*side.patterns).snapshot()) {
        if (isWildcardMatch(pattern, target)) {
            id.pkg_id = entry.pkg_id;
            patternMatched = true;
            break;
        }
    }
    if (!patternMatched && (store.*side.lookup)(sent, id) != 0) {
        return id;
    }
    if (!wildcard.first.empty()) {
        id.pkg_id = wildcard.second;
    }
    if (!parent.first.empty()) {
        id.path_id = parent.second;
    }
    return id;
}

vetu_id_t effectiveIdentity(VetuRestoreInit& store, const IdentitySide& side, const std::string& filepath)
{
    std::string target;
    LabelContext label;
    vetu_id_t id{};
    if (readOwnLabel(filepath, side.missingText, target, label)) {
        id = label.*side.labelField;
    } else {
        id = identityFromStore(store, side, target, filepath);
    }
    METHOD_LOG(logInfo, "file: %s %s: %016lx-%016lx-%016lx", logSafe(target).c_str(), side.name, id.pkg_id, id.file_id,
               id.path_id);
    return id;
}

}  // namespace

ContextMgrService::IdTriple ContextMgrService::getFileOid(const std::string& filepath, const std::string& sender)
{
    return runRequest<Method::getFileOid>(
        sender, [&] { return checkQueryPath(filepath); },
        [&] { return tripleOf(effectiveIdentity(m_store, kObjectIdentity, filepath)); });
}

ContextMgrService::IdTriple ContextMgrService::getFileSid(const std::string& filepath, const std::string& sender)
{
    return runRequest<Method::getFileSid>(
        sender, [&] { return checkQueryPath(filepath); },
        [&] { return tripleOf(effectiveIdentity(m_store, kSubjectIdentity, filepath)); });
}

uint32_t ContextMgrService::getFileTid(const std::string& filepath, const std::string& sender)
{
    return runRequest<Method::getFileTid>(
        sender, [&] { return checkQueryPath(filepath); },
        [&] {
            std::string target;
            LabelContext label;
            uint32_t tid = 0;
            if (readOwnLabel(filepath, "file %s does not exist...", target, label)) {
                tid = label.tid;
            } else {
                // Nothing known leaves the type 0, a valid answer.
                m_store.getTid(filepath, tid);
            }
            METHOD_LOG(logInfo, "file: %s, tid: %08x\n", logSafe(target).c_str(), tid);
            return tid;
        });
}

uint32_t ContextMgrService::getFileInheritFlag(const std::string& filepath, const std::string& sender)
{
    return runRequest<Method::getFileInheritFlag>(
        sender, [&] { return checkQueryPath(filepath); },
        [&] {
            std::string target;
            LabelContext label;
            uint32_t flag = 0;
            if (readOwnLabel(filepath, "file %s does not exist...", target, label)) {
                flag = label.inherit_flag;
            } else if (m_store.getDirInheritFlag(target, flag) != 0) {
                flag = kAllOnes32;
            }
            METHOD_LOG(logInfo, "file: %s inherit_flag: 0x%08x\n", logSafe(target).c_str(), flag);
            return flag;
        });
}

std::string ContextMgrService::restoreSingleFileLabel(const std::string& filepath, const std::string& sender)
{
    return runRequest<Method::restoreSingleFileLabel>(
        sender, [&] { return checkRestorePath(filepath); },
        [&] {
            auto relabel = [&](const std::string& resolved) {
                if (VetuRestoreContext::restoreFileLabel(resolved, m_store) == -1) {
                    METHOD_LOG(logError, "%s restore file label failed...", logSafe(filepath).c_str());
                    return false;
                }
                return true;
            };
            return relabelAndRead(filepath, relabel, "%s restore label success, new label %s");
        });
}

std::string ContextMgrService::restoreSingleFileInitLabel(const std::string& filepath, const std::string& sender)
{
    return runRequest<Method::restoreSingleFileInitLabel>(
        sender, [&] { return checkRestorePath(filepath); },
        [&] {
            auto relabel = [&](const std::string& resolved) {
                m_restoreContext.setLabelToFileDirMultiThread(resolved, m_store, resolved);
                return true;
            };
            return relabelAndRead(filepath, relabel, "%s restore init label success, init label %s");
        });
}

int32_t ContextMgrService::addTagFullSystem(const std::string& path, const std::vector<std::string>& excludedDir,
                                            const std::string& sender)
{
    return runRequest<Method::addTagFullSystem>(
        sender,
        [&]() -> const char* {
            if (checkQueryPath(path) != nullptr) {
                return "path is not safe";
            }
            if (excludedDir.size() > kMaxExcludedDirs) {
                return "excludedDir size too large";
            }
            for (const auto& dir : excludedDir) {
                if (checkQueryPath(dir) != nullptr) {
                    return "excludedDir is not safe";
                }
            }
            return nullptr;
        },
        [&] {
            // A run from a root that is not there would walk nothing and
            // still answer success; a root that is a file is labelled alone.
            struct stat st;
            if (stat(path.c_str(), &st) != 0) {
                METHOD_LOG(logError, "addTagFullSystem: %s does not exist", logSafe(path).c_str());
                return int32_t(-1);
            }
            // The run refuses (-1) while another run holds the context.
            return int32_t(m_restoreContext.setLabelToDirRecursive(m_store, path, excludedDir));
        });
}
