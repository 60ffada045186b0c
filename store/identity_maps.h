// The identity data of the store as one value: the lock-guarded maps that
// policies and the user-set methods fill, and the path-to-category index
// built from them. A policy snapshot, the identity data file and the index
// all work on this one type; copying it copies only these maps.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/sync_map.h"
#include "common/vetu_id.h"
#include "store/published_value.h"

struct SpecialFsFileRecord {
    std::string filesystem;
    vetu_id_t id{};
};

// Path or pattern -> category name of the last identity map that holds it.
using PathIdentityIndex = std::map<std::string, std::string>;

class IdentityMaps {
public:
    IdentityMaps() = default;
    // Each map is copied under both maps' locks, one map at a time.
    IdentityMaps(const IdentityMaps& other);
    IdentityMaps& operator=(const IdentityMaps& other);

    // The path-to-category index of the maps as they are now.
    PathIdentityIndex buildIdentityDataIndex() const;

    // Policy-derived identities, keyed by path or pattern.
    SyncMap<std::string, vetu_id_t> identityDataFileSid;
    SyncMap<std::string, vetu_id_t> identityDataFileOid;
    SyncMap<std::string, vetu_id_t> identityDataDirSid;
    SyncMap<std::string, vetu_id_t> identityDataDirOid;
    SyncMap<std::string, vetu_id_t> identityDataLnkfileSid;
    SyncMap<std::string, vetu_id_t> identityDataLnkfileOid;
    SyncMap<std::string, vetu_id_t> identityDataFileWildcardSid;
    SyncMap<std::string, vetu_id_t> identityDataFileWildcardOid;
    SyncMap<std::string, vetu_id_t> identityDataDirWildcardSid;
    SyncMap<std::string, vetu_id_t> identityDataDirWildcardOid;
    SyncMap<std::string, vetu_id_t> identityDataLinkWildcardSid;
    SyncMap<std::string, vetu_id_t> identityDataLinkWildcardOid;
    SyncMap<std::string, uint64_t> identityDataDirSpathid;
    SyncMap<std::string, uint64_t> identityDataDirOpathid;
    SyncMap<std::string, uint64_t> identityDataDirWSpathid;
    SyncMap<std::string, uint64_t> identityDataDirWOpathid;

    SyncMap<std::string, SpecialFsFileRecord> specialFsFileOid;

    // User-set identities.
    SyncMap<std::string, uint64_t> identityDataUserConfigPid;
    SyncMap<std::string, vetu_id_t> identityDataUserConfigSid;
    SyncMap<std::string, vetu_id_t> identityDataUserConfigOid;
    SyncMap<std::string, uint32_t> identityDataUserConfigTid;
    SyncMap<std::string, uint32_t> identityDataUserConfigInheritFlag;
    SyncMap<std::string, vetu_id_t> identityDataUserConfigCreateOid;
    SyncMap<std::string, std::string> identityDataUserConfigLabel;
    SyncMap<std::string, vetu_id_t> identityDataUserConfigSidGlob;
    SyncMap<std::string, vetu_id_t> identityDataUserConfigOidGlob;
    SyncMap<std::string, uint32_t> identityDataUserConfigTidGlob;
    SyncMap<std::string, uint32_t> identityDataUserConfigInheritFlagGlob;

    // Read by threads that answer the kernel while the policy finalisation
    // rebuilds it: readers load() a complete index, writers store() a new one.
    PublishedValue<PathIdentityIndex> m_mapPathToIdentityType;
};
