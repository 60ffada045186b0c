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
    const char* entryText;          // key, value
    const char* deletedText;        // key
    const char* clearedText;
    const char* rewrittenText;      // path, field value; labels only
};

// A tid 0 and a full inherit flag are what a path without an entry carries.
constexpr uint32_t kResetTid = kDefaultTid;
constexpr uint32_t kResetInheritFlag = kUnconfiguredDirInheritFlag;
// A link's own label passes nothing on.
constexpr uint32_t kLinkResetInheritFlag = 0;

inline constexpr UserSetKind<uint64_t> kUserSetPkgIds{
    &IdentityMaps::identityDataUserConfigPid, nullptr, LinkKeys::Target, LinkKeys::Target, nullptr, 0, 0,
    "pkgname: %s, id: 0x%s", "pkgname: %s, delete success.", "delete all user set pkgid.", nullptr};
inline constexpr UserSetKind<vetu_id_t> kUserSetOids{
    &IdentityMaps::identityDataUserConfigOid, &IdentityMaps::identityDataUserConfigOidGlob, LinkKeys::Target,
    LinkKeys::Target, nullptr, 0, 0, "file: %s oid: %s", "delete user set file oid, %s",
    "delete user set all file oid.", nullptr};
inline constexpr UserSetKind<vetu_id_t> kUserSetSids{
    &IdentityMaps::identityDataUserConfigSid, &IdentityMaps::identityDataUserConfigSidGlob, LinkKeys::Target,
    LinkKeys::TargetAndOwn, nullptr, 0, 0, "file: %s sid: %s", "delete user set file sid, %s.",
    "delete all user set file sid.", nullptr};
inline constexpr UserSetKind<uint32_t> kUserSetTids{
    &IdentityMaps::identityDataUserConfigTid, &IdentityMaps::identityDataUserConfigTidGlob, LinkKeys::TargetAndOwn,
    LinkKeys::TargetAndOwn, &LabelContext::tid, kResetTid, kResetTid, "file: %s tid: 0x%s", "file: %s",
    "delete user set file tid.", "file: %s tid: 0x%s"};
inline constexpr UserSetKind<uint32_t> kUserSetInheritFlags{
    &IdentityMaps::identityDataUserConfigInheritFlag, &IdentityMaps::identityDataUserConfigInheritFlagGlob,
    LinkKeys::TargetAndOwn, LinkKeys::TargetAndOwn, &LabelContext::inherit_flag, kResetInheritFlag,
    kLinkResetInheritFlag, "file: %s inherit_flag: 0x%s", "file: %s", "delete user set file inherit flag.",
    "file: %s inheritFlag: 0x%s"};

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
};
bool derivePathKeys(const std::string& path, LinkKeys linkKeys, PathKeys& out);

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
