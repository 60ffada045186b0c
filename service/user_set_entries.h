// Identities a management client keeps for itself in the store: package ids
// by name, and oids, sids, tids and inherit flags by path or by pattern. The
// five kinds are rows of one table over the same five verbs; the tid and the
// inherit flag also reach the labels of the files they name at once.
//
// Each changing verb is one step against every other: its map change, the
// identity data file and the label rewrite happen under one lock. A change
// that cannot be stored is undone in memory and answered -1; labels are
// rewritten only after the store succeeded. A set reads every label before
// anything is stored, so a file without a label fails it with nothing
// changed; a delete resets what it can and answers -1 for the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/label_context.h"
#include "common/sync_map.h"
#include "common/vetu_id.h"
#include "store/label_defaults.h"
#include "store/identity_maps.h"

class VetuRestoreInit;

// What a symbolic link that passed the path checks gives as keys: its
// target, or its target and then its own path.
enum class LinkKeys { Target, TargetAndOwn };

// The texts of the path-key rule's three failures, with the path.
struct PathRuleTexts {
    const char* realPath;
    const char* linkRealPath;
    const char* linkFilePath;
};
constexpr PathRuleTexts kPathRuleTexts{"get real path failed, %s", "get link real path failed, %s",
                                       "get link file path failed, %s"};

template <typename V>
struct UserSetKind {
    using Map = SyncMap<std::string, V>;
    Map IdentityMaps::*plain;     // by package name or path
    Map IdentityMaps::*patterns;  // by pattern as sent; nullptr for package names
    LinkKeys setLinkKeys;
    LinkKeys queryDeleteLinkKeys;
    // The label field rewritten at once; nullptr when labels are not touched.
    uint32_t LabelContext::*field;
    uint32_t resetValue;            // the field after a delete
    uint32_t linkResetOnDeleteAll;  // a link's own label after a delete-all
    // Log texts, one per line a member of the kind writes; nullptr: no line.
    const char* entryText;           // key, value: set, query, show
    const char* setLinkText;         // set: a link's target and the value
    const char* setLinkOwnText;      // set: a link's own path
    const char* queryLinkText;       // query: a link's target and its value
    const char* patternEntryText;    // query: the pattern's own entry
    const char* patternMatchText;    // query: a path entry the pattern covers
    const char* deletedText;         // delete: a key removed
    const char* linkDeletedText;     // delete: a link's target removed
    const char* patternDeletedText;  // delete by pattern: the pattern and each key it covers
    const char* clearedText;
    const char* rewrittenText;  // set: path, field value; labels only
    const char* resetText;      // delete: a path reset, or a missing one; labels only
    const char* resetAllText;   // delete-all: a path reset; labels only
    PathRuleTexts setPathTexts;
    PathRuleTexts queryPathTexts;
    PathRuleTexts deletePathTexts;
    bool logsShowSteps;  // the show names its two readings and its count
};

// A tid 0 and a full inherit flag are what a path without an entry carries.
constexpr uint32_t kResetTid = kDefaultTid;
constexpr uint32_t kResetInheritFlag = kUnconfiguredDirInheritFlag;
// A link's own label passes nothing on.
constexpr uint32_t kLinkResetInheritFlag = 0;

inline constexpr UserSetKind<uint64_t> kUserSetPkgIds{
    &IdentityMaps::identityDataUserConfigPid, nullptr, LinkKeys::Target, LinkKeys::Target, nullptr, 0, 0,
    "pkgname: %s, id: 0x%s", nullptr, nullptr, nullptr, nullptr, nullptr, "pkgname: %s, delete success.", nullptr,
    nullptr, "delete all user set pkgid.", nullptr, nullptr, nullptr, kPathRuleTexts, kPathRuleTexts,
    kPathRuleTexts, false};
inline constexpr UserSetKind<vetu_id_t> kUserSetOids{
    &IdentityMaps::identityDataUserConfigOid,
    &IdentityMaps::identityDataUserConfigOidGlob,
    LinkKeys::Target,
    LinkKeys::Target,
    nullptr,
    0,
    0,
    "file: %s oid: %s",
    "linkfile: %s oid: %s",
    nullptr,
    "file: %s oid: %s",
    "@1 file: %s oid: %s",
    "@2 file: %s oid: %s",
    "delete user set file oid, %s",
    "delete user set file oid, %s",
    "match pattern, %s",
    "delete user set all file oid.",
    nullptr,
    nullptr,
    nullptr,
    {"setFileOid failed: get real path failed, %s", "setFileOid failed: get link real path failed, %s",
     "setFileOid failed: get link file path failed, %s"},
    {"get real path failed, %s", "queryUserSetFileOid failed: get link real path failed, %s",
     "queryUserSetFileOid failed: get link file path failed, %s"},
    kPathRuleTexts,
    true};
inline constexpr UserSetKind<vetu_id_t> kUserSetSids{
    &IdentityMaps::identityDataUserConfigSid,
    &IdentityMaps::identityDataUserConfigSidGlob,
    LinkKeys::Target,
    LinkKeys::TargetAndOwn,
    nullptr,
    0,
    0,
    "file: %s sid: %s",
    "file: %s sid: %s",
    nullptr,
    "linkfile: %s sid: %s",
    "file: %s sid: %s",
    "file: %s sid: %s",
    "delete user set file sid, %s.",
    "delete user set linkfile sid, %s",
    "match pattern, %s",
    "delete all user set file sid.",
    nullptr,
    nullptr,
    nullptr,
    {"setFileSid get real path failed, %s", "setFileSid get link real path failed, %s",
     "setFileSid get link file path failed, %s"},
    kPathRuleTexts,
    kPathRuleTexts,
    false};
inline constexpr UserSetKind<uint32_t> kUserSetTids{
    &IdentityMaps::identityDataUserConfigTid,
    &IdentityMaps::identityDataUserConfigTidGlob,
    LinkKeys::TargetAndOwn,
    LinkKeys::TargetAndOwn,
    &LabelContext::tid,
    kResetTid,
    kResetTid,
    "file: %s tid: 0x%s",
    "file: %s tid: 0x%s",
    "real_path %s",
    "file: %s tid: 0x%s",
    "file: %s tid: 0x%s",
    "file: %s tid: 0x%s",
    nullptr,
    nullptr,
    nullptr,
    "delete user set file tid.",
    "file: %s tid: 0x%s",
    "file: %s\n",
    "file: %s",
    kPathRuleTexts,
    kPathRuleTexts,
    kPathRuleTexts,
    false};
inline constexpr UserSetKind<uint32_t> kUserSetInheritFlags{
    &IdentityMaps::identityDataUserConfigInheritFlag,
    &IdentityMaps::identityDataUserConfigInheritFlagGlob,
    LinkKeys::TargetAndOwn,
    LinkKeys::TargetAndOwn,
    &LabelContext::inherit_flag,
    kResetInheritFlag,
    kLinkResetInheritFlag,
    "file: %s inherit_flag: 0x%s",
    "file: %s inherit_flag: 0x%s",
    nullptr,
    "file: %s inherit_flag: 0x%s",
    "file: %s inherit_flag: 0x%s",
    "file: %s inherit_flag: 0x%s",
    nullptr,
    nullptr,
    nullptr,
    "delete user set file inherit flag.",
    "file: %s inheritFlag: 0x%s",
    "file: %s\n",
    "file: %s\n",
    kPathRuleTexts,
    kPathRuleTexts,
    kPathRuleTexts,
    false};

// A set's rewrite is capped: a pattern whose walk reads more directory
// entries, or a set that would rewrite more labels, fails with nothing done.
// A delete and a delete-all have no cap: they reset labels as the walk
// finds them, so an entry can always be removed.
struct RelabelCaps {
    std::size_t entriesRead = 1000000;
    std::size_t paths = 100000;
};
RelabelCaps& userSetRelabelCaps();

// The InvalidArgs text of a path or pattern a client sent, or nullptr.
const char* checkUserSetPath(const std::string& path);

// The keys of a plain path and the labels to rewrite for it: the path as
// sent when it does not exist; its canonical path; for a symbolic link its
// target (then its own path, its directory made canonical, when asked).
// False (logged) when the path cannot be resolved.
struct PathKeys {
    std::vector<std::string> keys;
    std::vector<std::string> relabel;
    std::string linkOwn;  // a link's own path; "" for any other path
};
bool derivePathKeys(const std::string& path, LinkKeys linkKeys, const PathRuleTexts& texts, PathKeys& out);

// The verbs; key is a package name, a path or (pattern) a pattern.
// The changing ones answer 0 or -1.
template <typename V>
int setUserEntry(VetuRestoreInit& store, const UserSetKind<V>& kind, const std::string& key, const V& value,
                 bool pattern);
template <typename V>
std::map<std::string, V> queryUserEntries(VetuRestoreInit& store, const UserSetKind<V>& kind,
                                          const std::string& key, bool pattern);
// Pattern entries first; a path entry under the same key wins.
template <typename V>
std::map<std::string, V> showUserEntries(VetuRestoreInit& store, const UserSetKind<V>& kind);
// By pattern: the pattern entry and every path entry it matches.
template <typename V>
int deleteUserEntry(VetuRestoreInit& store, const UserSetKind<V>& kind, const std::string& key, bool pattern);
template <typename V>
int deleteAllUserEntries(VetuRestoreInit& store, const UserSetKind<V>& kind);
