// Label of one path from the data store: for a file being created (the kernel
// waits for it), for a relabel of an existing path, and the searches for the
// nearest directory that carries a policy path identifier.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <log4cpp/Priority.hh>

#include "common/data_changes.h"
#include "common/dir_traverse.h"
#include "common/file_utils.h"
#include "common/label_xattr.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_pattern.h"
#include "common/path_utils.h"
#include "common/paths.h"
#include "restore/label_path_lock.h"
#include "restore/vetu_restore_context.h"
#include "store/label_defaults.h"
#include "store/pattern_match.h"
#include "store/vetu_restore_init.h"

using pattern_match::PatternIndex;

namespace {

// The kernel waits for a new file's label: a line, with the paths it
// escapes, is composed only when it is written.
bool logged(int priority)
{
    return Logger::getInstance()->isEnabled(priority);
}

bool isUnderRun(const std::string& path)
{
    const std::string_view run = paths::kRunDir;
    return path.compare(0, run.size(), run) == 0 && (path.size() == run.size() || path[run.size()] == '/');
}

// Whether some key of the index lies strictly below path. The keys below a
// directory are one contiguous range of the ordered index, starting at the
// first key not less than "path/": one lookup instead of a scan of the index.
bool hasIndexedPathBelow(const PathIdentityIndex& index, const std::string& path)
{
    if (path.empty() || path[0] != '/') {
        for (const auto& entry : index) {
            if (isSubPath(path, entry.first)) {
                return true;
            }
        }
        return false;
    }
    const std::string base = path.back() == '/' ? path : path + "/";
    auto it = index.lower_bound(base);
    if (it != index.end() && it->first == base) {
        ++it;  // the directory itself, written with its slash, is not below it
    }
    return it != index.end() && it->first.compare(0, base.size(), base) == 0;
}


// The identity maps of one side of a label (oid or sid) and how its lines
// name it.
struct IdentitySide {
    const char* name;
    const char* separator;  // after "label" in the lines: the two sides differ
    const std::map<std::string, vetu_id_t>& links;
    const std::map<std::string, vetu_id_t>& dirs;
    const std::map<std::string, vetu_id_t>& files;
};

bool findEntry(const std::map<std::string, vetu_id_t>& table, const std::string& path, vetu_id_t& entry)
{
    const auto it = table.find(path);
    if (it == table.end()) {
        return false;
    }
    entry = it->second;
    return true;
}

// The file identifier of one side of a new file's label: a user-set entry of
// the path (link, directory, file), else the path's own under a policy
// directory; unmatched when neither applies. -1 when the own one fails.
int policyFileId(const std::string& path, VetuRestoreInit& store, const IdentitySide& side,
                 const VetuRestoreContext::PathPolicy& parent, uint64_t& fileId, bool& unmatched, bool debug)
{
    vetu_id_t entry;
    const char* kind = nullptr;
    if (findEntry(side.links, path, entry)) {
        kind = "link file";
    } else if (findEntry(side.dirs, path, entry)) {
        kind = "dir";
    } else if (findEntry(side.files, path, entry)) {
        kind = "file";
    } else if (!parent.first.empty()) {
        if (store.getFileId(path, fileId) != 0) {
            LOG_ERROR("get file_id failed of %s", logSafe(path).c_str());
            return -1;
        }
        kind = "file";
        entry.file_id = fileId;
    } else {
        unmatched = true;
        return 0;
    }
    fileId = entry.file_id;
    if (debug) {
        LOG_DEBUG("create new %s label%s file %s, %s->file_id: %016lx", kind, side.separator, logSafe(path).c_str(),
                  side.name, fileId);
    }
    return 0;
}

// Without a trailing '/' and without "//", as nearly every path is; so are
// its parents.
bool isPlainPath(const std::string& p)
{
    if (p.back() == '/') {
        return false;
    }
    for (size_t i = 1; i < p.size(); ++i) {
        if (p[i] == '/' && p[i - 1] == '/') {
            return false;
        }
    }
    return true;
}

bool isRoot(const std::string& p)
{
    return p.size() == 1 && p[0] == '/';
}

// p becomes its parent text as std::filesystem gives it; a plain path is cut
// at its last slash, in place. False when the parent is p itself.
bool toParent(std::string& p, bool& plain)
{
    if (!plain) {
        std::string parent = std::filesystem::path(p).parent_path().string();
        if (parent == p) {
            return false;
        }
        p = std::move(parent);
        plain = p.empty() || isPlainPath(p);
        return true;
    }
    const size_t slash = p.rfind('/');
    p.resize(slash == std::string::npos ? 0 : slash == 0 ? 1 : slash);
    return true;
}

// Named as the store-taking search, whose log lines these are.
namespace tables_search {

VetuRestoreContext::PathPolicy findNearestParentDirHasPolicy(const std::string& path,
                                                             const std::map<std::string, uint64_t>& exact,
                                                             const pattern_match::PatternIndex<uint64_t>& patterns,
                                                             bool debug)
{
    // "" (the parent text of a top-level directory) is no directory: the
    // search ends at the root, whose exact entry alone counts. The level's
    // text keeps its memory from one search to the next.
    thread_local std::string p;
    p = path;
    bool plain = p.empty() || isPlainPath(p);
    // The patterns that may match a prefix of a text are among those that
    // may match the text; the parents of a plain path are its prefixes.
    thread_local std::vector<pattern_match::PatternIndex<uint64_t>::Entry> candidates;
    patterns.candidates(path, candidates);
    const bool prefixesOfPath = plain;
    const std::string* candidatesOf = &path;
    std::string otherText;
    while (!p.empty() && !isRoot(p)) {
        const auto it = exact.find(p);
        if (it != exact.end()) {
            LOG_INFO("[Exact Match] path:%s, pathid:%016lx", logSafe(p).c_str(), it->second);
            return {p, it->second};
        }
        if (!prefixesOfPath && candidatesOf->compare(0, p.size(), p) != 0) {
            otherText = p;
            candidatesOf = &otherText;
            patterns.candidates(p, candidates);
        }
        for (const auto* pattern : candidates) {
            if (pattern_match::mayMatch(pattern->first, p) && isWildcardMatch(pattern->first, p)) {
                LOG_INFO("[Wildcard Match] path:%s | pathid:%016lx (Pattern:%s)", logSafe(p).c_str(),
                         pattern->second, logSafe(pattern->first).c_str());
                return {p, pattern->second};
            }
        }
        if (!toParent(p, plain)) {
            break;
        }
    }
    static const std::string kRoot = "/";
    const auto root = exact.find(kRoot);
    if (root != exact.end()) {
        LOG_INFO("[Root Match] path:%s | pathid:%016lx", "/", root->second);
        return {"/", root->second};
    }
    if (debug) {
        LOG_DEBUG("[No pathid Found] path:%s", logSafe(path).c_str());
    }
    return {std::string(), 0};
}

}  // namespace tables_search
}  // namespace

std::pair<std::string, vetu_id_t> lookupIdentityRecord(const std::string& /*path*/)
{
    return {std::string(), vetu_id_t{}};
}

NewFileLabelTables VetuRestoreContext::loadNewFileLabelTables(VetuRestoreInit& store, bool withPackageData)
{
    NewFileLabelTables tables;
    tables.store = store.loadIdentifierTables(withPackageData);
    tables.oidPathIds = store.identityDataDirOpathid.snapshot();
    tables.oidPathIdPatterns = PatternIndex<uint64_t>(store.identityDataDirWOpathid.snapshot());
    tables.sidPathIds = store.identityDataDirSpathid.snapshot();
    tables.sidPathIdPatterns = PatternIndex<uint64_t>(store.identityDataDirWSpathid.snapshot());
    tables.linkOids = store.identityDataLnkfileOid.snapshot();
    tables.dirOids = store.identityDataDirOid.snapshot();
    tables.fileOids = store.identityDataFileOid.snapshot();
    tables.linkSids = store.identityDataLnkfileSid.snapshot();
    tables.dirSids = store.identityDataDirSid.snapshot();
    tables.fileSids = store.identityDataFileSid.snapshot();
    tables.wildcardOids = PatternIndex<vetu_id_t>(store.identityDataFileWildcardOid.snapshot());
    tables.wildcardSids = PatternIndex<vetu_id_t>(store.identityDataFileWildcardSid.snapshot());
    tables.identityIndex = store.m_mapPathToIdentityType.load();
    return tables;
}

std::shared_ptr<const NewFileLabelTables> VetuRestoreContext::sharedNewFileLabelTables(VetuRestoreInit& store,
                                                                                     bool withPackageData)
{
    // The copy of the package data is big: it lives only while someone uses it.
    static BuiltPerChange<NewFileLabelTables> withPackages(false);
    static BuiltPerChange<NewFileLabelTables> withoutPackages;
    return (withPackageData ? withPackages : withoutPackages).get(&store, [&store, withPackageData] {
        return loadNewFileLabelTables(store, withPackageData);
    });
}

int VetuRestoreContext::getNewCreateFileLabel(std::string path, VetuRestoreInit& store, std::string& label,
                                              std::vector<std::string>* infoLines)
{
    if (path.empty()) {
        LOG_ERROR("filepath is empty.");
        return -1;
    }
    // One path: the package data is asked of the live maps, not copied.
    const bool withPackageData = false;
    return getNewCreateFileLabel(path, store, *sharedNewFileLabelTables(store, withPackageData), label, infoLines);
}

int VetuRestoreContext::getNewCreateFileLabel(const std::string& path, VetuRestoreInit& store,
                                              const NewFileLabelTables& tables, std::string& label,
                                              std::vector<std::string>* infoLines)
{
    if (path.empty()) {
        LOG_ERROR("filepath is empty.");
        return -1;
    }
    if (isUnderRun(path)) {
        LOG_DEBUG("file %s is in /run directory, create default label.", logSafe(path).c_str());
        LabelContext context;
        context.inherit_flag = kDefaultLabelInheritFlag;
        label = contextToString(context);
        return 0;
    }
    const bool debug = logged(log4cpp::Priority::DEBUG);
    if (debug) {
        LOG_DEBUG("create new file label: %s", logSafe(path).c_str());
    }
    uint64_t pkgId = 0;
    uint32_t pkgType = 0;
    if (store.queryFilePkgid(path, pkgId, pkgType, tables.store) != 0) {
        LOG_ERROR("get pkgid failed of %s", logSafe(path).c_str());
        return -1;
    }
    if (debug) {
        LOG_DEBUG("file: %s, pkgid: %016lx", logSafe(path).c_str(), pkgId);
    }

    const PathPolicy oidParent =
        tables_search::findNearestParentDirHasPolicy(path, *tables.oidPathIds, tables.oidPathIdPatterns, debug);
    if (debug) {
        LOG_DEBUG("file: %s, pathid: %016lx", logSafe(path).c_str(), oidParent.second);
    }
    const IdentitySide oidSide{"oid", ",", *tables.linkOids, *tables.dirOids, *tables.fileOids};
    uint64_t oidFileId = 0;
    bool oidUnmatched = false;
    if (policyFileId(path, store, oidSide, oidParent, oidFileId, oidUnmatched, debug) != 0) {
        return -1;
    }
    LabelContext context;
    context.oid = {pkgId, oidFileId, oidParent.second};
    if (debug) {
        LOG_DEBUG("create new file label, file %s, oid %016lx-%016lx-%016lx", logSafe(path).c_str(),
                  context.oid.pkg_id, context.oid.file_id, context.oid.path_id);
    }

    const PathPolicy sidParent =
        tables_search::findNearestParentDirHasPolicy(path, *tables.sidPathIds, tables.sidPathIdPatterns, debug);
    const IdentitySide sidSide{"sid", ":", *tables.linkSids, *tables.dirSids, *tables.fileSids};
    uint64_t sidFileId = 0;
    bool sidUnmatched = false;
    if (policyFileId(path, store, sidSide, sidParent, sidFileId, sidUnmatched, debug) != 0) {
        return -1;
    }
    context.sid = {pkgId, sidFileId, sidParent.second};
    if (debug) {
        LOG_DEBUG("create new file label, file %s, sid %016lx-%016lx-%016lx", logSafe(path).c_str(),
                  context.sid.pkg_id, context.sid.file_id, context.sid.path_id);
    }
    const bool unmatched = oidUnmatched && sidUnmatched;

    vetu_id_t wildcard;
    if (tables.wildcardOids.lastMatch(path, wildcard)) {
        context.oid.pkg_id = wildcard.pkg_id;
    }
    if (tables.wildcardSids.lastMatch(path, wildcard)) {
        context.sid.pkg_id = wildcard.pkg_id;
    }

    uint32_t flag = 0;
    if (store.getDirInheritFlag(path, flag, tables.store) != 0) {
        return -1;
    }
    if (store.isCachedParentDir(path, tables.store)) {
        flag = kInheritFlagFull;
        if (debug) {
            LOG_DEBUG("@1 set %s inherit flag %d", logSafe(path).c_str(), flag);
        }
    } else if (flag != kInheritFlagFull || !unmatched) {
        flag = kInheritFlagFull;
        if (debug) {
            LOG_DEBUG("@3 set %s inherit flag %d", logSafe(path).c_str(), flag);
        }
    } else {
        // A directory above paths that have identity entries passes everything on.
        flag = hasIndexedPathBelow(*tables.identityIndex, path) ? kInheritFlagFull : kDefaultLabelInheritFlag;
        if (debug) {
            LOG_DEBUG("set %s inherit flag %d", logSafe(path).c_str(), flag);
        }
    }
    context.inherit_flag = flag;

    if (pkgTypeHasFixedTid(pkgType)) {
        context.tid = kFixedTypePkgTid;
    } else if (store.getTid(path, context.tid, tables.store) != 0) {
        LOG_ERROR("get file tid failed of %s", logSafe(path).c_str());
        return -1;
    }
    label = contextToString(context);
    if (infoLines != nullptr) {
        infoLines->push_back(std::string("file ").append(logSafe(path).c_str()).append(", label ").append(label));
    } else if (logged(log4cpp::Priority::INFO)) {
        LOG_INFO("file %s, label %s", logSafe(path).c_str(), logSafe(label).c_str());
    }
    return 0;
}

int VetuRestoreContext::restoreFileLabel(const std::string& path, VetuRestoreInit& store)
{
    if (path.empty()) {
        LOG_ERROR("filepath is empty...");
        return -1;
    }
    std::string text;
    if (getNewCreateFileLabel(path, store, text) != 0 || text.empty()) {
        LOG_ERROR("getNewCreateFileLabel failed.");
        return -1;
    }
    LOG_DEBUG("restore label: %s, %s", logSafe(path).c_str(), logSafe(text).c_str());
    const int mode = isSymlink(path.c_str()) ? kXattrModeLink : kXattrModeFile;
    vetu_id_t createOid;
    getFileCreateOidFromXattr(path.c_str(), &createOid, static_cast<unsigned int>(mode));
    LabelContext context;
    if (stringToContext(text, &context) != 0) {
        LOG_ERROR("stringToContext failed.");
        return -1;
    }
    context.create_oid = createOid;
    setFileLabelToXattr(path.c_str(), &context, mode);
    return 0;
}

VetuRestoreContext::PathPolicy VetuRestoreContext::findNearestParentDirHasPolicy(const std::string& path,
                                                                                 VetuRestoreInit& store, int type)
{
    const auto exact = (type == 1 ? store.identityDataDirSpathid : store.identityDataDirOpathid).snapshot();
    const PatternIndex<uint64_t> patterns(
        (type == 1 ? store.identityDataDirWSpathid : store.identityDataDirWOpathid).snapshot());
    return tables_search::findNearestParentDirHasPolicy(path, *exact, patterns, logged(log4cpp::Priority::DEBUG));
}

VetuRestoreContext::PathPolicy VetuRestoreContext::findWildcardPathid(const std::string& path, VetuRestoreInit& store,
                                                                      int type)
{
    const SyncMap<std::string, uint64_t>& map = type == 1 ? store.identityDataDirWSpathid : store.identityDataDirWOpathid;
    PathPolicy result{std::string(), 0};
    std::string p = path;
    while (!p.empty()) {
        LOG_DEBUG("path:%s", logSafe(p).c_str());
        for (const auto& pattern : *map.snapshot()) {
            if (isWildcardMatch(pattern.first, p)) {
                result = {p, pattern.second};
                if (type == 1) {
                    LOG_DEBUG("pathid.first:%s, sid pathid.second:%04x", logSafe(p).c_str(),
                              static_cast<uint32_t>(pattern.second));
                } else {
                    LOG_DEBUG("pathid.first:%s, oid pathid.second:%04x", logSafe(p).c_str(),
                              static_cast<uint32_t>(pattern.second));
                }
                break;
            }
        }
        const size_t slash = p.rfind('/');
        p = slash == std::string::npos ? std::string() : p.substr(0, slash);
    }
    return result;
}

int setParentDirInheritFlag(const std::string& path, uint32_t flag)
{
    if (path.empty()) {
        LOG_ERROR("path empty.");
        return -1;
    }
    const bool wildcard = containsWildcard(path);
    std::vector<std::string> candidates;
    if (!wildcard) {
        candidates.push_back(findFirstValidParentDir(path));
    } else {
        for (const auto& match : searchFilesByPattern(path)) {
            if (isDirectory(match.c_str())) {
                traverseDirectory(match, candidates);
            }
        }
    }
    std::vector<std::string> targets;
    for (auto& candidate : candidates) {
        if (!candidate.empty() && isDirectory(candidate.c_str())) {
            targets.push_back(std::move(candidate));
        }
    }
    if (targets.empty()) {
        LOG_ERROR("No valid parent directory found for: %s (wildcard: %d)", logSafe(path).c_str(), wildcard ? 1 : 0);
        return -1;
    }
    // Logs below name the per-directory step "operator()", as they always have.
    const auto setOne = [flag](const std::string& dir) {
        LabelContext label;
        const auto readLabel = [&dir, &label]() {
            if (getFileLabelFromXattr(dir.c_str(), &label, kXattrModeFile) != 0) {
                LOG_WARN("Failed to get label for: %s", logSafe(dir).c_str());
                return false;
            }
            return true;
        };
        // Most calls find the flag set already: only a change takes the
        // directory's label lock, so the tasks of one directory's files do not
        // queue on it.
        if (!readLabel()) {
            return false;
        }
        std::unique_lock<std::mutex> labelLock;
        if (label.inherit_flag != kInheritFlagFull) {
            labelLock = lockLabelOfPath(dir);
            if (!readLabel()) {
                return false;
            }
        }
        if (label.inherit_flag == kInheritFlagFull) {
            LOG_WARN("Skipped already fully inherited: %s", logSafe(dir).c_str());
            return true;
        }
        label.inherit_flag = flag;
        if (setFileLabelToXattr(dir.c_str(), &label, kXattrModeFile) != 0) {
            LOG_ERROR("Failed to set inherit flag for: %s", logSafe(dir).c_str());
            return false;
        }
        LOG_INFO("Successfully set inherit flag [%u] for: %s", flag, logSafe(dir).c_str());
        return true;
    };
    bool done = false;
    for (const auto& dir : targets) {
        done = setOne(dir) || done;
    }
    return done ? 0 : -1;
}
