#include "restore/pathid_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/paths.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr int kOpenRetries = 3;
constexpr size_t kMessageBufferSize = sizeof(IdPairHeader) + kMaxIdPairsPerMessage * sizeof(IdPairRecord);
static_assert(kMessageBufferSize == 131072, "one add message is at most 128 KiB");

bool writeClear(int fd, uint32_t idType)
{
    const IdPairHeader clear = {sizeof(IdPairHeader), 0, kIdPairOpClear, idType};
    return write(fd, &clear, sizeof(clear)) > 0;
}

}  // namespace

int syncPathidToKernel(VetuRestoreInit& store)
{
    int fd = open(paths::kIdPairs, O_RDWR | O_CLOEXEC);
    for (int left = kOpenRetries - 1; fd < 0 && left >= 0; --left) {
        LOG_INFO("retry %d, %s", left, paths::kIdPairs);
        sleep(1);
        fd = open(paths::kIdPairs, O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        LOG_ERROR("can not open file %s", paths::kIdPairs);
        return -1;
    }
    int result = -1;
    if (!writeClear(fd, kIdTypeSid)) {
        LOG_ERROR("write sid pathid clear message error.");
    } else if (writePathidPairToKernel(store, fd, kIdTypeSid) != 0) {
        LOG_ERROR("write sid pathid data error.");
    } else if (!writeClear(fd, kIdTypeOid)) {
        LOG_ERROR("write oid pathid clear message error.");
    } else if (writePathidPairToKernel(store, fd, kIdTypeOid) != 0) {
        LOG_ERROR("write oid pathid data error.");
    } else {
        result = 0;
    }
    close(fd);
    return result;
}

int writePathidPairToKernel(VetuRestoreInit& store, int fd, uint32_t idType)
{
    const std::map<uint64_t, uint64_t> pairs = buildPathidPair(store, idType);
    if (pairs.empty()) {
        return 0;
    }
    if (pairs.size() > kMaxIdPairsPerType) {
        LOG_ERROR("Too many pathid pairs to write to kernel, totalPairCount: %zu, maxPairCount: %zu", pairs.size(),
                  kMaxIdPairsPerType);
        return -1;
    }
    std::vector<IdPairRecord> records;
    records.reserve(pairs.size());
    for (const auto& [pathid, parent] : pairs) {
        records.push_back({pathid, parent});
    }
    const IdPairHeader header = {0, 0, kIdPairOpAdd, idType};
    return writeIdPairsBatch(fd, header, records.data(), records.size());
}

int writeIdPairsBatch(int fd, const IdPairHeader& header, const IdPairRecord* records, size_t count)
{
    if (count == 0) {
        return 0;
    }
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kMessageBufferSize]);
    for (size_t sent = 0; sent < count;) {
        const size_t n = std::min(count - sent, kMaxIdPairsPerMessage);
        const size_t length = sizeof(IdPairHeader) + n * sizeof(IdPairRecord);
        const IdPairHeader current = {static_cast<uint32_t>(length), static_cast<uint32_t>(n), header.op,
                                      header.id_type};
        memcpy(buffer.get(), &current, sizeof(current));
        memcpy(buffer.get() + sizeof(current), records + sent, n * sizeof(IdPairRecord));
        const ssize_t written = write(fd, buffer.get(), length);
        if (written < 0 || static_cast<size_t>(written) != length) {
            LOG_ERROR("Failed to write buffer to file");
            return -1;
        }
        sent += n;
    }
    return 0;
}

std::map<uint64_t, uint64_t> buildPathidPair(VetuRestoreInit& store, uint32_t idType)
{
    const bool sid = idType == kIdTypeSid;
    std::map<std::string, uint64_t> merged = sid ? store.identityDataDirWSpathid.getAll()
                                                 : store.identityDataDirWOpathid.getAll();
    const std::map<std::string, uint64_t> exact = sid ? store.identityDataDirSpathid.getAll()
                                                      : store.identityDataDirOpathid.getAll();
    merged.insert(exact.begin(), exact.end());  // a wildcard entry for the same path wins

    std::map<uint64_t, uint64_t> result;
    for (const auto& [path, pathid] : merged) {
        const auto slash = path.rfind('/');
        if (slash == std::string::npos) {
            LOG_WARN("path contain no /, skip it, path : %s", logSafe(path).c_str());
            continue;
        }
        const std::string parentText = path.substr(0, slash);
        const auto [parentPath, parentPathid] =
            VetuRestoreContext::findNearestParentDirHasPolicy(parentText, store, sid ? 1 : 0);
        if (parentPath.empty() || parentPath == path) {
            result.emplace(pathid, 0);
        } else {
            result[pathid] = parentPathid;
        }
        LOG_INFO("path_id type : %s, current path : %s, current pathid : 0x%016lx, parrent path : %s, parent "
                 "pathdi : 0x%016lx",
                 sid ? "sid" : "oid", logSafe(path).c_str(), pathid, logSafe(parentPath).c_str(), parentPathid);
    }
    return result;
}

int syncFsFileInfoToKernel()
{
    return 0;
}
