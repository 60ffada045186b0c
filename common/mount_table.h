// The process-wide mount table and bind-mount map, and the watcher that keeps
// them current. Paths the kernel reports may lie under a bind mount; the map
// turns a backing path into the visible one.
#pragma once

#include <atomic>
#include <map>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

struct MountInfo {
    std::string device;
    std::string type;
    std::string mountPoint;
    std::map<std::string, std::vector<std::string>> options;
};

// Mount entries in /etc/mtab order.
extern std::vector<MountInfo> mountInfoList;
extern std::shared_mutex mountInfoMutex;
// Backing path to visible path, ascending by key.
extern std::map<std::string, std::string> bindMountMap;
extern std::shared_mutex bindMountMutex;

// Reloads list (every caller passes mountInfoList) from /etc/mtab; on failure
// the list stays as it was.
void getMountInfo(std::vector<MountInfo>& list);
std::map<std::string, std::vector<std::string>> parseMountOptions(const std::string& options);
// Device to its mount points, for devices under /dev/.
std::map<std::string, std::vector<std::string>> groupMountsByDevice(const std::vector<MountInfo>& list);
// (source, target) of the findmnt lines of exactly this device; a bind
// mount's source reads device + backing path ("/dev/sda2/data/var").
std::vector<std::pair<std::string, std::string>> executeCommandAndGetFields(const std::string& device);
// Builds the bind-mount rules into map (cleared first); returns 0.
int buildBindMountMap(std::map<std::string, std::string>& map);
// Builds a new map aside and swaps it in, so readers never wait for findmnt.
void rebuildBindMountMap();
// path with its shortest bind-mount key (on a component boundary) replaced.
std::string translateBindMountPath(const std::string& path);
std::map<std::string, std::string> getBindMountMap();
// Mount point to file-system type; a later entry wins.
std::map<std::string, std::string> getMountPointTypeMap(const std::vector<MountInfo>& list);

// Watcher thread body: builds both tables, then rebuilds them on every change
// of /proc/self/mountinfo until stopFlag is set or wakeEventFd becomes
// readable (it is watched, never read). 1 when /proc/self/mountinfo cannot be opened, else 0.
int monitorFilesystemMountPoint(const std::atomic<bool>& stopFlag, int wakeEventFd);
