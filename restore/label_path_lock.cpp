#include "restore/label_path_lock.h"

#include <sys/stat.h>

#include <array>
#include <functional>

namespace {

constexpr size_t kStripes = 256;

std::mutex& stripeOf(size_t key)
{
    static std::array<std::mutex, kStripes> stripes;
    return stripes[key % kStripes];
}

size_t keyOf(const struct stat& status)
{
    return std::hash<dev_t>{}(status.st_dev) * 31 + std::hash<ino_t>{}(status.st_ino);
}

}  // namespace

std::mutex& labelLockOf(const std::string& path, bool ofLink)
{
    struct stat status {};
    const int rc = ofLink ? lstat(path.c_str(), &status) : stat(path.c_str(), &status);
    return stripeOf(rc == 0 ? keyOf(status) : std::hash<std::string>{}(path));
}

std::unique_lock<std::mutex> lockLabelOfPath(const std::string& path, bool ofLink)
{
    return std::unique_lock<std::mutex>(labelLockOf(path, ofLink));
}

std::unique_lock<std::mutex> lockLabelOfFile(const struct stat& status)
{
    return std::unique_lock<std::mutex>(stripeOf(keyOf(status)));
}
