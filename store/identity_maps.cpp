#include "store/identity_maps.h"

namespace {

template <typename V>
void indexKeys(const SyncMap<std::string, V>& map, const char* category, PathIdentityIndex& index)
{
    for (const auto& entry : map.getAll()) {
        index[entry.first] = category;
    }
}

}  // namespace

IdentityMaps::IdentityMaps(const IdentityMaps& other)
{
    *this = other;
}

IdentityMaps& IdentityMaps::operator=(const IdentityMaps& other)
{
    if (this == &other) {
        return *this;
    }
    identityDataFileSid = other.identityDataFileSid;
    identityDataFileOid = other.identityDataFileOid;
    identityDataDirSid = other.identityDataDirSid;
    identityDataDirOid = other.identityDataDirOid;
    identityDataLnkfileSid = other.identityDataLnkfileSid;
    identityDataLnkfileOid = other.identityDataLnkfileOid;
    identityDataFileWildcardSid = other.identityDataFileWildcardSid;
    identityDataFileWildcardOid = other.identityDataFileWildcardOid;
    identityDataDirWildcardSid = other.identityDataDirWildcardSid;
    identityDataDirWildcardOid = other.identityDataDirWildcardOid;
    identityDataLinkWildcardSid = other.identityDataLinkWildcardSid;
    identityDataLinkWildcardOid = other.identityDataLinkWildcardOid;
    identityDataDirSpathid = other.identityDataDirSpathid;
    identityDataDirOpathid = other.identityDataDirOpathid;
    identityDataDirWSpathid = other.identityDataDirWSpathid;
    identityDataDirWOpathid = other.identityDataDirWOpathid;
    specialFsFileOid = other.specialFsFileOid;
    identityDataUserConfigPid = other.identityDataUserConfigPid;
    identityDataUserConfigSid = other.identityDataUserConfigSid;
    identityDataUserConfigOid = other.identityDataUserConfigOid;
    identityDataUserConfigTid = other.identityDataUserConfigTid;
    identityDataUserConfigInheritFlag = other.identityDataUserConfigInheritFlag;
    identityDataUserConfigCreateOid = other.identityDataUserConfigCreateOid;
    identityDataUserConfigLabel = other.identityDataUserConfigLabel;
    identityDataUserConfigSidGlob = other.identityDataUserConfigSidGlob;
    identityDataUserConfigOidGlob = other.identityDataUserConfigOidGlob;
    identityDataUserConfigTidGlob = other.identityDataUserConfigTidGlob;
    identityDataUserConfigInheritFlagGlob = other.identityDataUserConfigInheritFlagGlob;
    m_mapPathToIdentityType = other.m_mapPathToIdentityType;
    return *this;
}

PathIdentityIndex IdentityMaps::buildIdentityDataIndex() const
{
    // A key held by several maps keeps the name of the last one in this order.
    PathIdentityIndex index;
    indexKeys(identityDataFileSid, "fileSid", index);
    indexKeys(identityDataFileOid, "fileOid", index);
    indexKeys(identityDataDirSid, "dirSid", index);
    indexKeys(identityDataDirOid, "dirOid", index);
    indexKeys(identityDataLnkfileSid, "lnkfileSid", index);
    indexKeys(identityDataLnkfileOid, "lnkfileOid", index);
    indexKeys(identityDataDirSpathid, "dirSpathid", index);
    indexKeys(identityDataDirOpathid, "dirOpathid", index);
    indexKeys(identityDataFileWildcardSid, "fileWildcardSid", index);
    indexKeys(identityDataFileWildcardOid, "fileWildcardOid", index);
    indexKeys(identityDataDirWildcardSid, "dirWildcardSid", index);
    indexKeys(identityDataDirWildcardOid, "dirWildcardOid", index);
    indexKeys(identityDataLinkWildcardSid, "linkWildcardSid", index);
    indexKeys(identityDataLinkWildcardOid, "linkWildcardOid", index);
    indexKeys(identityDataDirWSpathid, "dirWSpathid", index);
    indexKeys(identityDataDirWOpathid, "dirWOpathid", index);
    return index;
}
