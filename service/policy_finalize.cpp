#include "service/policy_finalize.h"

#include <chrono>
#include <future>
#include <system_error>

#include "common/logger.h"
#include "restore/pathid_sync.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"

void finalize_policy_processing(VetuRestoreInit& store, VetuRestoreContext& context)
{
    // The index only reads the maps, as the store does: it is built beside
    // the store and published after it, as it would be.
    const auto build = [&store] { return store.buildIdentityDataIndex(); };
    std::future<PathIdentityIndex> index;
    try {
        index = std::async(std::launch::async, build);
    } catch (const std::system_error&) {
        index = std::async(std::launch::deferred, build);
    }
    if (store.storeIndentityData() != 0) {
        LOG_ERROR("Failed to store identity data");
    }
    store.m_mapPathToIdentityType.store(index.get());

    const auto start = std::chrono::system_clock::now();
    context.updateProcessAttr(store.identityDataFileSid.getAll());
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start).count();
    LOG_INFO_CATEGORY("#############Update Process Attr cost time: %.4fs", static_cast<double>(elapsed) / 1e9);

    if (syncPathidToKernel(store) == -1) {
        LOG_ERROR("policies_parse  syncPathidToKernel error.");
    }
    if (syncFsFileInfoToKernel() == -1) {
        LOG_ERROR("policies_parse syncFsFileInfoToKernel error.");
    }
}
