#include "restore/label_path_lock.h"

#include <array>
#include <functional>

namespace {

constexpr size_t kStripes = 256;

}  // namespace

std::unique_lock<std::mutex> lockLabelOfPath(const std::string& path)
{
    static std::array<std::mutex, kStripes> stripes;
    return std::unique_lock<std::mutex>(stripes[std::hash<std::string>{}(path) % kStripes]);
}
