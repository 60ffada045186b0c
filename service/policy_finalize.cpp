#include "service/policy_finalize.h"

#include <chrono>

#include "common/logger.h"
#include "restore/pathid_sync.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"

void finalize_policy_processing(VetuRestoreInit& store, VetuRestoreContext& context)
{
    if (store.storeIndentityData() != 0) {
        LOG_ERROR("Failed to store identity data");
    }
    store.m_mapPathToIdentityType.store(store.buildIdentityDataIndex());

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
