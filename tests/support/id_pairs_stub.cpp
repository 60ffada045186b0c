#include "support/id_pairs_stub.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "common/file_utils.h"
#include "common/paths.h"

namespace id_pairs_stub {
namespace {

std::string commonDir()
{
    return std::filesystem::path(paths::kIdPairs).parent_path().string();
}

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
    std::ofstream out(paths::kIdPairs, std::ios::binary | std::ios::trunc);
    if (!out) {
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
    const std::string options = "size=" + std::to_string(bytes);
    if (mount("tmpfs", commonDir().c_str(), "tmpfs", 0, options.c_str()) != 0) {
        throw std::runtime_error(std::string("mount tmpfs: ") + strerror(errno));
    }
    create();
}

std::string bytes()
{
    return readFileToString(paths::kIdPairs);
}

bool parse(const std::string& bytes, std::vector<IdPairsMessage>& messages, std::string* error)
{
    auto fail = [error](const std::string& why) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    };
    messages.clear();
    size_t offset = 0;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 16) {
            return fail("truncated header at " + std::to_string(offset));
        }
        IdPairsMessage msg;
        msg.totalLen = readNative<uint32_t>(bytes, offset);
        msg.count = readNative<uint32_t>(bytes, offset + 4);
        msg.op = readNative<uint32_t>(bytes, offset + 8);
        msg.idType = readNative<uint32_t>(bytes, offset + 12);
        if (msg.totalLen != 16 + 16ull * msg.count) {
            return fail("total_len " + std::to_string(msg.totalLen) + " does not match count " +
                        std::to_string(msg.count));
        }
        if (bytes.size() - offset < msg.totalLen) {
            return fail("truncated message at " + std::to_string(offset));
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
