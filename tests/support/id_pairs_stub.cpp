#include "support/id_pairs_stub.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "common/file_utils.h"
#include "common/paths.h"

namespace id_pairs_stub {
namespace {

std::string commonDir() { return std::filesystem::path(paths::kIdPairs).parent_path().string(); }

template <typename T>
T readNative(const std::string& bytes, size_t offset)
{
    T value;
    memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

}  // namespace

void create()
{
    std::filesystem::create_directories(commonDir());
    if (!writeFile(paths::kIdPairs, "")) {
        throw std::runtime_error(std::string("cannot create ") + paths::kIdPairs);
    }
}

void failWrites()
{
    create();
    if (mount("/dev/full", paths::kIdPairs, nullptr, MS_BIND, nullptr) != 0) {
        throw std::runtime_error(std::string("bind /dev/full: ") + strerror(errno));
    }
}

void limitSize(size_t bytes)
{
    std::filesystem::create_directories(commonDir());
    if (mount("tmpfs", commonDir().c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) != 0) {
        throw std::runtime_error(std::string("mount tmpfs: ") + strerror(errno));
    }
    create();
}

std::string bytes() { return readFileToString(paths::kIdPairs); }

bool parse(const std::string& bytes, std::vector<IdPairsMessage>& messages, std::string* error)
{
    messages.clear();
    for (size_t offset = 0; offset < bytes.size();) {
        IdPairsMessage msg;
        const size_t left = bytes.size() - offset;
        if (left >= 16) {
            msg.totalLen = readNative<uint32_t>(bytes, offset);
            msg.count = readNative<uint32_t>(bytes, offset + 4);
            msg.op = readNative<uint32_t>(bytes, offset + 8);
            msg.idType = readNative<uint32_t>(bytes, offset + 12);
        }
        if (left < 16 || msg.totalLen != 16 + 16ull * msg.count || left < msg.totalLen) {
            if (error != nullptr) {
                *error = "no whole, consistent message at byte " + std::to_string(offset);
            }
            return false;
        }
        for (uint32_t i = 0; i < msg.count; ++i) {
            const size_t at = offset + 16 + 16ull * i;
            msg.records.emplace_back(readNative<uint64_t>(bytes, at), readNative<uint64_t>(bytes, at + 8));
        }
        offset += msg.totalLen;
        messages.push_back(std::move(msg));
    }
    return true;
}

}  // namespace id_pairs_stub
