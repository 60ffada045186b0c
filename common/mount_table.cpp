#include "common/mount_table.h"

#include <fcntl.h>
#include <mntent.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <sstream>

#include "common/command.h"
#include "common/logger.h"
#include "common/path_utils.h"
#include "common/paths.h"

std::vector<MountInfo> mountInfoList;
std::shared_mutex mountInfoMutex;
std::map<std::string, std::string> bindMountMap;
std::shared_mutex bindMountMutex;

namespace {

constexpr const char kSysrootVar[] = "/sysroot/var";
constexpr const char kVar[] = "/var";

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// findmnt's raw output writes blanks and other unsafe bytes as \xHH.
std::string decodeRawField(const std::string& field)
{
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] == 'x') {
            const int hi = hexValue(field[i + 2]);
            const int lo = hexValue(field[i + 3]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

// The device's own line ("/dev/sda1") or one of its bind mounts
// ("/dev/sda1[/sub]"), never another device that shares the prefix.
bool isSourceOfDevice(const std::string& source, const std::string& device)
{
    return source.compare(0, device.size(), device) == 0 &&
           (source.size() == device.size() || source[device.size()] == '[');
}

// Any user may mount a FUSE file system and name its source freely, even
// "/dev/sda2[/etc]": such a line never describes a device or its bind mount.
bool isUserNamedMount(const std::string& type)
{
    return type == "fuse" || type.compare(0, 5, "fuse.") == 0;
}

void logBindMountMap()
{
    std::shared_lock<std::shared_mutex> lock(bindMountMutex);
    for (const auto& [key, value] : bindMountMap) {
        LOG_INFO("mount info: %s ---> %s", key.c_str(), value.c_str());
    }
}

void refreshTables()
{
    getMountInfo(mountInfoList);
    rebuildBindMountMap();
    logBindMountMap();
}

}  // namespace

void getMountInfo(std::vector<MountInfo>& list)
{
    FILE* mtab = setmntent(paths::kMtab, "r");
    if (mtab == nullptr) {
        LOG_ERROR("can not open file %s", paths::kMtab);
        return;
    }
    std::vector<MountInfo> fresh;
    struct mntent entry;
    char buffer[8192];
    while (getmntent_r(mtab, &entry, buffer, sizeof(buffer)) != nullptr) {
        fresh.push_back({entry.mnt_fsname, entry.mnt_type, entry.mnt_dir, parseMountOptions(entry.mnt_opts)});
    }
    endmntent(mtab);
    std::unique_lock<std::shared_mutex> lock(mountInfoMutex);
    list.swap(fresh);
}

std::map<std::string, std::vector<std::string>> parseMountOptions(const std::string& options)
{
    std::map<std::string, std::vector<std::string>> result;
    std::vector<std::string> items;
    splitString(options, ',', items);
    for (const std::string& item : items) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos) {
            result[item].clear();
            continue;
        }
        std::vector<std::string> values;
        splitString(item.substr(eq + 1), ':', values);
        result[item.substr(0, eq)] = std::move(values);
    }
    return result;
}

std::map<std::string, std::vector<std::string>> groupMountsByDevice(const std::vector<MountInfo>& list)
{
    std::map<std::string, std::vector<std::string>> groups;
    std::shared_lock<std::shared_mutex> lock(mountInfoMutex);
    for (const MountInfo& info : list) {
        if (info.device.find("/dev/") != std::string::npos) {
            groups[info.device].push_back(info.mountPoint);
        }
    }
    return groups;
}

std::vector<std::pair<std::string, std::string>> executeCommandAndGetFields(const std::string& device)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    if (device.empty()) {
        LOG_ERROR("device name is empty.");
        return pairs;
    }
    // Raw output: one blank between columns, blanks inside a field escaped.
    const std::vector<std::string> lines = executeCommand(paths::kFindmnt, {"-D", "-r"});
    for (const std::string& line : lines) {
        if (line.find(device) == std::string::npos) {
            continue;
        }
        std::istringstream tokens(line);
        std::string token;
        std::string source;
        std::string type;
        std::string target;
        for (int i = 1; tokens >> token; ++i) {
            if (i == 1) {
                source = decodeRawField(token);
            } else if (i == 2) {
                type = token;
            } else if (i == 7) {
                target = decodeRawField(token);
                break;
            }
        }
        if (source.empty() || target.empty() || !isSourceOfDevice(source, device) || isUserNamedMount(type)) {
            continue;
        }
        source.erase(std::remove_if(source.begin(), source.end(), [](char c) { return c == '[' || c == ']'; }),
                     source.end());
        pairs.emplace_back(std::move(source), std::move(target));
    }
    return pairs;
}

int buildBindMountMap(std::map<std::string, std::string>& map)
{
    map.clear();
    for (const auto& [device, mountPoints] : groupMountsByDevice(mountInfoList)) {
        if (mountPoints.size() < 2) {
            continue;
        }
        std::vector<std::pair<std::string, std::string>> pairs = executeCommandAndGetFields(device);
        std::sort(pairs.begin(), pairs.end());
        std::vector<std::pair<std::string, std::string>> plain;
        std::vector<std::pair<std::string, std::string>> binds;
        for (auto& pair : pairs) {
            (pair.first == device ? plain : binds).push_back(std::move(pair));
        }
        for (const auto& own : plain) {
            for (const auto& bind : binds) {
                const size_t at = bind.first.find(device);
                if (at == std::string::npos) {
                    continue;
                }
                std::string key = bind.first;
                key.replace(at, device.size(), own.second);
                if (key.compare(0, 2, "//") == 0) {
                    key.erase(0, 1);
                }
                if (key == kSysrootVar) {
                    map[kSysrootVar] = kVar;
                } else {
                    map[key] = bind.second;
                }
            }
        }
    }
    return 0;
}

void rebuildBindMountMap()
{
    std::map<std::string, std::string> fresh;
    buildBindMountMap(fresh);
    std::unique_lock<std::shared_mutex> lock(bindMountMutex);
    bindMountMap = std::move(fresh);
}

std::string translateBindMountPath(const std::string& path)
{
    std::string result = path;
    std::shared_lock<std::shared_mutex> lock(bindMountMutex);
    if (bindMountMap.empty()) {
        return result;
    }
    // A key matches on a component boundary; of the matching keys the
    // shortest wins, so try the path's prefixes from the shortest up.
    std::string prefix;
    prefix.reserve(path.size());
    for (size_t end = 0; end <= path.size(); ++end) {
        if (end != path.size() && path[end] != '/') {
            continue;
        }
        prefix.assign(path, 0, end);
        const auto it = bindMountMap.find(prefix);
        if (it != bindMountMap.end()) {
            result.replace(0, end, it->second);
            break;
        }
    }
    return result;
}

std::map<std::string, std::string> getBindMountMap()
{
    std::shared_lock<std::shared_mutex> lock(bindMountMutex);
    return bindMountMap;
}

std::map<std::string, std::string> getMountPointTypeMap(const std::vector<MountInfo>& list)
{
    std::map<std::string, std::string> types;
    std::shared_lock<std::shared_mutex> lock(mountInfoMutex);
    for (const MountInfo& info : list) {
        types[info.mountPoint] = info.type;
    }
    return types;
}

int monitorFilesystemMountPoint(const std::atomic<bool>& stopFlag, int wakeEventFd)
{
    // Opened before the first build, so that no change slips in between.
    const int fd = open(paths::kSelfMountinfo, O_RDONLY | O_CLOEXEC);
    const int openErrno = errno;
    refreshTables();
    if (fd < 0) {
        LOG_ERROR("open %s error: %s", paths::kSelfMountinfo, strerror(openErrno));
        return 1;
    }
    struct pollfd fds[2];
    fds[0] = {fd, POLLPRI, 0};
    fds[1] = {wakeEventFd, POLLIN, 0};
    while (true) {
        if (stopFlag.load()) {
            close(fd);
            return 0;
        }
        fds[0].revents = 0;
        fds[1].revents = 0;
        // A negative descriptor (no eventfd) is skipped by poll.
        const int rc = poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            LOG_ERROR("poll error: %s", strerror(errno));
            close(fd);
            return 0;
        }
        // Not read: it stays readable for the other threads that wait on it.
        if (fds[1].revents & POLLIN) {
            close(fd);
            return 0;
        }
        LOG_INFO("/proc/self/mountinfo file changes are detected...");
        lseek(fd, 0, SEEK_SET);
        refreshTables();
    }
}
