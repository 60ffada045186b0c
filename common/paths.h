// Every absolute path the program touches. Nothing moves these at run time:
// tests reach them through a private mount namespace instead.
#pragma once

namespace paths {

// Configuration
constexpr const char kEtcVetuDir[] = "/etc/vetu";
constexpr const char kLabelConfDir[] = "/etc/vetu/label";
constexpr const char kLogProperties[] = "/etc/vetu/label/vetu-label-log.properties";
constexpr const char kDirInheritConf[] = "/etc/vetu/label/vetu-label-dir-inherit.conf";
constexpr const char kPreallocatedFilePkgidConf[] = "/etc/vetu/label/vetu-label-preallocated-file-pkgid.conf";
constexpr const char kSpecialFsPkgidConf[] = "/etc/vetu/label/vetu-label-special-fs-pkgid.conf";
constexpr const char kInterpreterTidConf[] = "/etc/vetu/label/vetu-label-interpreter-tid.conf";
constexpr const char kWhitelistConf[] = "/etc/vetu/label/vetu-label-whitelist.conf";
constexpr const char kDeviceInfoXml[] = "/etc/vetu/vetu-main/vetu-label-device-info.xml";

// Signed data files
constexpr const char kDataDir[] = "/etc/vetu/label/data";
constexpr const char kPkgFileData[] = "/etc/vetu/label/data/pkg_file_data.bin";
constexpr const char kPkgFileDataSig[] = "/etc/vetu/label/data/pkg_file_data.sig";
constexpr const char kIdentityData[] = "/etc/vetu/label/data/memory_data.json";
constexpr const char kIdentityDataSig[] = "/etc/vetu/label/data/memory_data.sig";
constexpr const char kHmacKey[] = "/etc/vetu/label/data/hmac_key";
constexpr const char kPkgMigrationMarker[] = "/etc/vetu/label/data/.sig_migration_pkg_done";
constexpr const char kIdentityMigrationMarker[] = "/etc/vetu/label/data/.sig_migration_identity_done";
// Scratch files of the crash-safe writes: a data file or key is written in
// full beside its final name and renamed over it; a ".pending" signature
// belongs to a data file that may not have been renamed into place yet.
constexpr const char kPkgFileDataTmp[] = "/etc/vetu/label/data/pkg_file_data.bin.tmp";
constexpr const char kPkgFileDataSigPending[] = "/etc/vetu/label/data/pkg_file_data.sig.pending";
constexpr const char kIdentityDataTmp[] = "/etc/vetu/label/data/memory_data.json.tmp";
constexpr const char kIdentityDataSigPending[] = "/etc/vetu/label/data/memory_data.sig.pending";
constexpr const char kHmacKeyTmp[] = "/etc/vetu/label/data/hmac_key.tmp";
constexpr const char kPkgMigrationMarkerTmp[] = "/etc/vetu/label/data/.sig_migration_pkg_done.tmp";
constexpr const char kIdentityMigrationMarkerTmp[] = "/etc/vetu/label/data/.sig_migration_identity_done.tmp";

// Logs
constexpr const char kLogDir[] = "/var/log/vetu";
constexpr const char kLogFile[] = "/var/log/vetu/vetu_label_manager.log";

// Kernel interfaces
constexpr const char kSecurityFsDir[] = "/sys/kernel/security";
constexpr const char kVetuSecurityFsDir[] = "/sys/kernel/security/vetu";
constexpr const char kIdPairs[] = "/sys/kernel/security/vetu/common/id_pairs";
constexpr const char kNotify[] = "/sys/kernel/security/vetu/common/notify";
constexpr const char kAdmctl[] = "/sys/kernel/security/vetu/paras/tamro_global/admctl";
constexpr const char kProcDir[] = "/proc";
constexpr const char kProcCmdline[] = "/proc/cmdline";
// Per-process files, formatted with a pid.
constexpr const char kProcAttrCurrentFmt[] = "/proc/%d/attr/vetu/current";
constexpr const char kProcAttrPathFmt[] = "/proc/%d/attr/vetu/path";
constexpr const char kProcCommFmt[] = "/proc/%d/comm";
constexpr const char kProcExeFmt[] = "/proc/%d/exe";
constexpr const char kProcStatFmt[] = "/proc/%d/stat";

// Mount tables
constexpr const char kMtab[] = "/etc/mtab";
constexpr const char kSelfMountinfo[] = "/proc/self/mountinfo";

// Run-time files
constexpr const char kRunDir[] = "/run";
constexpr const char kLockFile[] = "/run/vetu-label-manager.lock";
constexpr const char kPidFile[] = "/run/vetu-label-manager.pid";
constexpr const char kInstanceSocketName[] = "vetu-label-manager";  // abstract
constexpr const char kPkgIdRequestSocket[] = "/tmp/vetu-label-manager-1.socket";

// External commands
constexpr const char kRpm[] = "/usr/bin/rpm";
constexpr const char kFindmnt[] = "/usr/bin/findmnt";
constexpr const char kDevNull[] = "/dev/null";

// Device nodes: a relabel run labels the directory itself, never its content.
constexpr const char kDevDir[] = "/dev";

// Paths the kernel reports: its view of the root tree begins with kTmproot,
// which the program sees as kSysroot. Application trees under these two are
// reported as they are seen.
constexpr const char kTmproot[] = "/tmproot";
constexpr const char kSysroot[] = "/sysroot";
constexpr const char kSoviApplicationsDir[] = "/var/opt/sovi-applications";
constexpr const char kQuensetLayersDir[] = "/var/opt/quenset/layers";

}  // namespace paths
