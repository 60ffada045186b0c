#include "restore/label_path_lock.h"

#include <sys/stat.h>

#include <array>
#include <functional>

namespace {

constexpr size_t kStripes = 256;

}  // namespace

std::mutex& labelLockOf(const std::string& path, bool ofLink)
{
    static std::array<std::mutex, kStripes> stripes;
    struct stat status {};
    const int rc = ofLink ? lstat(path.c_str(), &status) : stat(path.c_str(), &status);
    const size_t key = rc == 0 ? std::hash<dev_t>{}(status.st_dev) * 31 + std::hash<ino_t>{}(status.st_ino)
                               : std::hash<std::string>{}(path);
    return stripes[key % kStripes];
}

std::unique_lock<std::mutex> lockLabelOfPath(const std::string& path, bool ofLink)
{
    return std::unique_lock<std::mutex>(labelLockOf(path, ofLink));
}
