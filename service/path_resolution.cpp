#include "service/path_resolution.h"

#include <exception>
#include <filesystem>

#include "common/logger.h"

namespace fs = std::filesystem;

std::string checkAndHandlePath(const std::string& path)
{
    LOG_DEBUG("input Path: %s", path.c_str());
    try {
        const fs::path input(path);
        if (fs::exists(fs::status(input))) {
            const std::string canonical = fs::canonical(input).string();
            LOG_INFO("absolute Path: %s", canonical.c_str());
            return canonical;
        }
        for (fs::path parent = input.parent_path(); !parent.empty(); parent = parent.parent_path()) {
            if (fs::exists(fs::status(parent))) {
                const std::string result = fs::canonical(parent).string() + path.substr(parent.string().size());
                LOG_INFO("absolute Path: %s", result.c_str());
                return result;
            }
            if (parent == parent.parent_path()) {
                break;
            }
        }
    } catch (const fs::filesystem_error& e) {
        LOG_ERROR("Filesystem Exception: %s", e.what());
    } catch (const std::exception& e) {
        LOG_ERROR("General Exception: %s", e.what());
    }
    return path;
}
