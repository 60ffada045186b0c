#include "service/user_set_entries.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <mutex>
#include <type_traits>

#include "common/file_utils.h"
#include "common/label_xattr.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_pattern.h"
#include "common/path_safety.h"
#include "common/path_utils.h"
#include "service/method_log.h"
#include "service/path_resolution.h"
#include "store/pattern_match.h"
#include "store/vetu_restore_init.h"

namespace {

// A change and its store against every other change, also should the
// methods ever run on more than one thread.
std::mutex g_changeMutex;

std::string valueText(uint64_t value)
{
    char text[17];
    snprintf(text, sizeof(text), "%016" PRIx64, value);
    return text;
}

std::string valueText(uint32_t value)
{
    char text[9];
    snprintf(text, sizeof(text), "%08x", value);
    return text;
}

std::string valueText(const vetu_id_t& id)
{
    return valueText(id.pkg_id) + "-" + valueText(id.file_id) + "-" + valueText(id.path_id);
}

template <typename V>
void logEntry(const char* text, const std::string& key, const V& value)
{
    if (text != nullptr) {
        METHOD_LOG(logInfo, text, logSafe(key).c_str(), valueText(value).c_str());
    }
}

void logPath(const char* text, const std::string& path)
{
    if (text != nullptr) {
        METHOD_LOG(logInfo, text, logSafe(path).c_str());
    }
}

// The maps of a kind as they were before a change, to put back when the
// change cannot be stored.
template <typename V>
class ChangeUndo {
public:
    ChangeUndo(VetuRestoreInit& store, const UserSetKind<V>& kind)
        : m_store(store), m_kind(kind), m_plain((store.*kind.plain).snapshot())
    {
        if (kind.patterns != nullptr) {
            m_patterns = (store.*kind.patterns).snapshot();
        }
    }

    void restore()
    {
        putBack(m_store.*m_kind.plain, *m_plain);
        if (m_patterns) {
            putBack(m_store.*m_kind.patterns, *m_patterns);
        }
    }

private:
    static void putBack(SyncMap<std::string, V>& live, const std::map<std::string, V>& saved)
    {
        SyncMap<std::string, V> before;
        for (const auto& entry : saved) {
            before.set(entry.first, entry.second);
        }
        live = before;  // one step for readers
    }

    VetuRestoreInit& m_store;
    const UserSetKind<V>& m_kind;
    std::shared_ptr<const std::map<std::string, V>> m_plain;
    std::shared_ptr<const std::map<std::string, V>> m_patterns;
};

bool withinRelabelCap(const std::vector<std::string>& relabel)
{
    if (relabel.size() > userSetRelabelCaps().paths) {
        METHOD_LOG(logError, "refusing to rewrite %zu labels in one call, at most %zu", relabel.size(),
                   userSetRelabelCaps().paths);
        return false;
    }
    return true;
}

bool appendPatternMatches(const std::string& pattern, std::vector<std::string>& relabel)
{
    std::vector<std::string> matches;
    const RelabelCaps& caps = userSetRelabelCaps();
    if (!searchFilesByPatternBounded(pattern, caps.entriesRead, caps.paths, matches)) {
        return false;
    }
    relabel.insert(relabel.end(), matches.begin(), matches.end());
    return withinRelabelCap(relabel);
}

struct ReadLabel {
    std::string path;
    int mode = kXattrModeFile;
    LabelContext label;
};

// The label of path as it is now: a link's own label in mode 3 (reading its
// label in mode 1 would refuse the link, and its target has an entry of its
// own), every other path in mode 1. missing: the path does not exist by the
// test that follows links (a dangling link among them) and is left alone.
// False (logged) when the label cannot be read.
bool readLabel(const std::string& path, ReadLabel& read, bool& missing)
{
    missing = false;
    read.path = path;
    read.mode = kXattrModeFile;
    // Files first: the mode-1 read refuses a link, which is then read as
    // what it is.
    if (getFileLabelFromXattr(path.c_str(), &read.label, read.mode) == 0) {
        return true;
    }
    if (fileExists(path.c_str()) != 0) {
        missing = true;
        return true;
    }
    struct stat st {};
    read.mode = kXattrModeLink;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
        getFileLabelFromXattr(path.c_str(), &read.label, read.mode) != 0) {
        METHOD_LOG(logError, "getFileLabelFromXattr %s error", logSafe(path).c_str());
        return false;
    }
    return true;
}

// False (logged) at the first label that cannot be read.
bool readLabels(const std::vector<std::string>& relabel, std::vector<ReadLabel>& labels)
{
    labels.reserve(relabel.size());
    for (const auto& path : relabel) {
        ReadLabel read;
        bool missing = false;
        if (!readLabel(path, read, missing)) {
            return false;
        }
        if (!missing) {
            labels.push_back(std::move(read));
        }
    }
    return true;
}

// Writes the label read with the field changed: a link's own label gets
// linkValue. The other fields are written as read, so a label changed by
// someone else since the read loses that change, as any concurrent
// read-modify-write would. False (logged) on failure.
template <typename V>
bool writeLabel(ReadLabel& read, const UserSetKind<V>& kind, uint32_t value, uint32_t linkValue)
{
    const uint32_t written = read.mode == kXattrModeLink ? linkValue : value;
    read.label.*kind.field = written;
    if (setFileLabelToXattr(read.path.c_str(), &read.label, read.mode) != 0) {
        METHOD_LOG(logError, "setFileLabelToXattr %s error", logSafe(read.path).c_str());
        return false;
    }
    return true;
}

template <typename V>
bool storeOrUndo(VetuRestoreInit& store, ChangeUndo<V>& undo)
{
    if (store.storeIndentityData() != 0) {
        METHOD_LOG(logError, "Failed to store identity data");
        undo.restore();
        return false;
    }
    return true;
}

// Every label is read, the change is stored, then the labels are written.
// -1 with the change undone when a label cannot be read or the store fails;
// -1 with the change kept and stored when a write fails.
template <typename V>
int commit(VetuRestoreInit& store, const UserSetKind<V>& kind, ChangeUndo<V>& undo,
           const std::vector<std::string>& relabel, uint32_t value)
{
    std::vector<ReadLabel> labels;
    if (kind.field != nullptr && !readLabels(relabel, labels)) {
        undo.restore();
        return -1;
    }
    if (!storeOrUndo(store, undo)) {
        return -1;
    }
    if (kind.field == nullptr) {
        return 0;
    }
    for (auto& read : labels) {
        if (!writeLabel(read, kind, value, value)) {
            return -1;
        }
        logEntry(kind.rewrittenText, read.path, value);
    }
    return 0;
}

// After a removal was stored, the labels it covered are reset one by one
// as the pattern walks find them, without a cap and without holding them
// all: a label that cannot be reset, or a directory that cannot be listed,
// is logged and the rest go on, so an entry that grew large can always be
// removed. -1 when a label or a listing failed.
template <typename V>
int resetLabels(const UserSetKind<V>& kind, const std::vector<std::string>& patterns,
                const std::vector<std::string>& paths, uint32_t linkValue, const char* perFileText)
{
    if (kind.field == nullptr) {
        return 0;
    }
    size_t failed = 0;
    const std::function<bool(const std::string&)> reset = [&](const std::string& path) {
        ReadLabel read;
        bool missing = false;
        if (!readLabel(path, read, missing) || (!missing && !writeLabel(read, kind, kind.resetValue, linkValue))) {
            ++failed;
        } else if (!missing) {
            logPath(perFileText, path);
        }
        return true;
    };
    bool walked = true;
    for (const auto& pattern : patterns) {
        walked = forEachPatternMatch(pattern, SIZE_MAX, reset) && walked;
    }
    for (const auto& path : paths) {
        reset(path);
    }
    if (failed != 0) {
        METHOD_LOG(logError, "%zu labels could not be reset", failed);
    }
    // A directory the walk could not list may hold labels left unreset.
    return failed == 0 && walked ? 0 : -1;
}

template <typename V>
bool keysOf(const UserSetKind<V>& kind, const std::string& key, LinkKeys linkKeys, const PathRuleTexts& texts,
            PathKeys& out)
{
    if (kind.patterns == nullptr) {
        out.keys = {key};
        return true;
    }
    return derivePathKeys(key, linkKeys, texts, out);
}

template <typename V>
void addMatchingPlainEntries(VetuRestoreInit& store, const UserSetKind<V>& kind, const std::string& pattern,
                             std::map<std::string, V>& result)
{
    for (const auto& entry : *(store.*kind.plain).snapshot()) {
        if (pattern_match::mayMatch(pattern, entry.first) && isWildcardMatch(pattern, entry.first)) {
            result[entry.first] = entry.second;
        }
    }
}

}  // namespace

RelabelCaps& userSetRelabelCaps()
{
    static RelabelCaps caps;
    return caps;
}

const char* checkUserSetPath(const std::string& path)
{
    const bool allowSymlink = false;
    const bool allowWildcard = true;
    const bool allowMissing = true;
    return isFilePathSafe(path, allowSymlink, allowWildcard, allowMissing) ? nullptr : "filepath is not safe";
}

bool derivePathKeys(const std::string& path, LinkKeys linkKeys, const PathRuleTexts& texts, PathKeys& out)
{
    out = PathKeys{};
    if (fileExists(path.c_str()) != 0) {
        out.keys = {path};
        return true;
    }
    if (!isSymlink(path.c_str())) {
        const std::string real = getRealPath(path);
        if (real.empty()) {
            METHOD_LOG(logError, texts.realPath, logSafe(path).c_str());
            return false;
        }
        out.keys = {real};
        out.relabel = {real};
        return true;
    }
    const std::string own = getLinkRealPath(path);
    if (own.empty()) {
        METHOD_LOG(logError, texts.linkRealPath, logSafe(path).c_str());
        return false;
    }
    const std::string target = getLnkTargetFilePath(own);
    if (target.empty()) {
        METHOD_LOG(logError, texts.linkFilePath, logSafe(own).c_str());
        return false;
    }
    out.keys = {target};
    if (linkKeys == LinkKeys::TargetAndOwn) {
        out.keys.push_back(own);
    }
    out.relabel = {target, own};
    out.linkOwn = own;
    return true;
}

template <typename V>
int setUserEntry(VetuRestoreInit& store, const UserSetKind<V>& kind, const std::string& key, const V& value,
                 bool pattern)
{
    std::lock_guard<std::mutex> step(g_changeMutex);
    ChangeUndo<V> undo(store, kind);
    std::vector<std::string> relabel;
    if (pattern && kind.patterns != nullptr) {
        (store.*kind.patterns).set(key, value);
        logEntry(kind.entryText, key, value);
        if (kind.field != nullptr && !appendPatternMatches(key, relabel)) {
            undo.restore();
            return -1;
        }
    } else {
        PathKeys keys;
        if (!keysOf(kind, key, kind.setLinkKeys, kind.setPathTexts, keys)) {
            return -1;
        }
        const bool link = !keys.linkOwn.empty();
        if (link) {
            logPath(kind.setLinkOwnText, keys.linkOwn);
        }
        // A link's own path gets its entry without a line of its own.
        logEntry(link ? kind.setLinkText : kind.entryText, keys.keys.front(), value);
        for (const auto& k : keys.keys) {
            (store.*kind.plain).set(k, value);
        }
        relabel = std::move(keys.relabel);
    }
    uint32_t field = 0;
    if constexpr (std::is_same<V, uint32_t>::value) {
        field = value;
    }
    return commit(store, kind, undo, relabel, field);
}

template <typename V>
std::map<std::string, V> queryUserEntries(VetuRestoreInit& store, const UserSetKind<V>& kind,
                                          const std::string& key, bool pattern)
{
    std::map<std::string, V> result;
    V value{};
    if (pattern && kind.patterns != nullptr) {
        if ((store.*kind.patterns).get(key, value) == 0) {
            result[key] = value;
            logEntry(kind.patternEntryText, key, value);
        }
        std::map<std::string, V> covered;
        addMatchingPlainEntries(store, kind, key, covered);
        for (const auto& entry : covered) {
            result[entry.first] = entry.second;
            logEntry(kind.patternMatchText, entry.first, entry.second);
        }
        return result;
    }
    PathKeys keys;
    if (!keysOf(kind, key, kind.queryDeleteLinkKeys, kind.queryPathTexts, keys)) {
        return {};
    }
    for (const auto& k : keys.keys) {
        if ((store.*kind.plain).get(k, value) == 0) {
            result[k] = value;
            const bool linkTarget = !keys.linkOwn.empty() && &k == &keys.keys.front();
            logEntry(linkTarget ? kind.queryLinkText : kind.entryText, k, value);
        }
    }
    return result;
}

template <typename V>
std::map<std::string, V> showUserEntries(VetuRestoreInit& store, const UserSetKind<V>& kind)
{
    std::map<std::string, V> result;
    // Pattern entries first: a path entry under the same key wins.
    const auto add = [&](const std::map<std::string, V>& entries, const char* readingText, const char* noneText) {
        if (kind.logsShowSteps) {
            METHOD_LOG(logDebug, readingText);
            if (entries.empty()) {
                METHOD_LOG(logInfo, noneText);
            }
        }
        for (const auto& entry : entries) {
            result[entry.first] = entry.second;
            logEntry(kind.entryText, entry.first, entry.second);
        }
    };
    if (kind.patterns != nullptr) {
        add(*(store.*kind.patterns).snapshot(), "showUserSetFileOid: reading glob oids", "no glob oids");
    }
    add(*(store.*kind.plain).snapshot(), "showUserSetFileOid: reading regular oids", "no regular oids");
    if (kind.logsShowSteps) {
        METHOD_LOG(logInfo, "showUserSetFileOid: total %zu oids returned", result.size());
    }
    return result;
}

template <typename V>
int deleteUserEntry(VetuRestoreInit& store, const UserSetKind<V>& kind, const std::string& key, bool pattern)
{
    std::lock_guard<std::mutex> step(g_changeMutex);
    ChangeUndo<V> undo(store, kind);
    std::vector<std::string> patterns;
    std::vector<std::string> relabel;
    if (pattern && kind.patterns != nullptr) {
        V value{};
        if ((store.*kind.patterns).get(key, value) == 0) {
            patterns.push_back(key);
        }
        (store.*kind.patterns).erase(key);
        logPath(kind.patternDeletedText, key);
        std::map<std::string, V> covered;
        addMatchingPlainEntries(store, kind, key, covered);
        for (const auto& entry : covered) {
            (store.*kind.plain).erase(entry.first);
            logPath(kind.patternDeletedText, entry.first);
            relabel.push_back(entry.first);
        }
    } else {
        PathKeys keys;
        if (!keysOf(kind, key, kind.queryDeleteLinkKeys, kind.deletePathTexts, keys)) {
            return -1;
        }
        for (const auto& k : keys.keys) {
            (store.*kind.plain).erase(k);
            const bool linkTarget = !keys.linkOwn.empty() && &k == &keys.keys.front();
            logPath(linkTarget ? kind.linkDeletedText : kind.deletedText, k);
        }
        if (keys.relabel.empty()) {
            logPath(kind.resetText, key);  // a missing path: its entry goes, no label is touched
        }
        relabel = std::move(keys.relabel);
    }
    if (!storeOrUndo(store, undo)) {
        return -1;
    }
    return resetLabels(kind, patterns, relabel, kind.resetValue, kind.resetText);
}

template <typename V>
int deleteAllUserEntries(VetuRestoreInit& store, const UserSetKind<V>& kind)
{
    std::lock_guard<std::mutex> step(g_changeMutex);
    ChangeUndo<V> undo(store, kind);
    std::vector<std::string> patterns;
    std::vector<std::string> relabel;
    if (kind.patterns != nullptr) {
        for (const auto& entry : *(store.*kind.patterns).snapshot()) {
            patterns.push_back(entry.first);
        }
        (store.*kind.patterns).clear();
    }
    for (const auto& entry : *(store.*kind.plain).snapshot()) {
        relabel.push_back(entry.first);
    }
    (store.*kind.plain).clear();
    if (!storeOrUndo(store, undo)) {
        return -1;
    }
    METHOD_LOG(logInfo, "%s", kind.clearedText);
    return resetLabels(kind, patterns, relabel, kind.linkResetOnDeleteAll, kind.resetAllText);
}

#define VETU_USER_SET_VERBS(V)                                                                                     \
    template int setUserEntry<V>(VetuRestoreInit&, const UserSetKind<V>&, const std::string&, const V&, bool);   \
    template std::map<std::string, V> queryUserEntries<V>(VetuRestoreInit&, const UserSetKind<V>&,               \
                                                          const std::string&, bool);                             \
    template std::map<std::string, V> showUserEntries<V>(VetuRestoreInit&, const UserSetKind<V>&);               \
    template int deleteUserEntry<V>(VetuRestoreInit&, const UserSetKind<V>&, const std::string&, bool);          \
    template int deleteAllUserEntries<V>(VetuRestoreInit&, const UserSetKind<V>&);

VETU_USER_SET_VERBS(uint64_t)
VETU_USER_SET_VERBS(vetu_id_t)
VETU_USER_SET_VERBS(uint32_t)
