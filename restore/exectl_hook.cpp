// The exec-control library is optional: when it cannot be loaded whole, the
// labelling goes on without hook calls.
#include <dlfcn.h>

#include <algorithm>
#include <new>

#include "common/log_text.h"
#include "common/logger.h"
#include "restore/vetu_restore_context.h"

namespace {

const char* loaderError()
{
    const char* reason = dlerror();
    return reason != nullptr ? reason : "";
}

}  // namespace

int VetuRestoreContext::loadExectlSo(const std::string& soName)
{
    LOG_INFO("load library %s begin!", logSafe(soName).c_str());
    if (soName.empty()) {
        LOG_ERROR("sofilepath is empty.");
        return -1;
    }
    closeExectlSo();
    m_exectlHandle = dlopen(soName.c_str(), RTLD_LAZY);
    if (m_exectlHandle == nullptr) {
        LOG_ERROR("dlopen library %s error %s", logSafe(soName).c_str(), loaderError());
        return -1;
    }
    dlerror();
    m_exectlXattrSetForInit =
        reinterpret_cast<ExectlXattrSetForInitFunc>(dlsym(m_exectlHandle, "exectl_xattr_set_for_init"));
    if (m_exectlXattrSetForInit == nullptr) {
        LOG_ERROR("exec error, exectl_xattr_set_for_init: %s", loaderError());
        closeExectlSo();
        return -1;
    }
    m_exectlSaveScanlist = reinterpret_cast<ExectlSaveScanlistFunc>(dlsym(m_exectlHandle, "exectl_save_scanlist"));
    if (m_exectlSaveScanlist == nullptr) {
        LOG_ERROR("error, exectl_save_scanlist: %s", loaderError());
        closeExectlSo();
        return -1;
    }
    m_exectlSaveScanlistForUpdate =
        reinterpret_cast<ExectlSaveScanlistFunc>(dlsym(m_exectlHandle, "exectl_save_scanlist_for_update"));
    if (m_exectlSaveScanlistForUpdate == nullptr) {
        LOG_ERROR("error, exectl_save_scanlist_for_update: %s", loaderError());
        closeExectlSo();
        return -1;
    }
    LOG_INFO("load library %s end!", logSafe(soName).c_str());
    return 0;
}

void VetuRestoreContext::closeExectlSo()
{
    if (m_exectlHandle != nullptr) {
        dlclose(m_exectlHandle);
    }
    m_exectlHandle = nullptr;
    m_exectlXattrSetForInit = nullptr;
    m_exectlSaveScanlist = nullptr;
    m_exectlSaveScanlistForUpdate = nullptr;
}

int VetuRestoreContext::callExectlfunc(const std::string& rootmnt, const std::vector<std::string>& paths,
                                       bool forUpdate)
{
    if (rootmnt.empty()) {
        LOG_ERROR("rootmnt is NULL");
        return -1;
    }
    const uint32_t count = static_cast<uint32_t>(paths.size());
    if (count == 0) {
        LOG_ERROR("file count is %u", count);
        return -2;
    }
    // The library gets private copies: one block of NUL-terminated texts and
    // an array pointing into it, so it cannot disturb the caller's list.
    std::vector<char> texts;
    std::vector<char*> array;
    try {
        size_t total = 0;
        for (const auto& path : paths) {
            total += path.size() + 1;
        }
        texts.resize(total);
        array.resize(count);
    } catch (const std::bad_alloc&) {
        LOG_ERROR("alloc memory failed.");
        return -3;
    }
    size_t offset = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string& path = paths[i];
        std::copy(path.begin(), path.end(), texts.begin() + offset);
        texts[offset + path.size()] = '\0';
        array[i] = texts.data() + offset;
        offset += path.size() + 1;
    }
    LOG_INFO("exectl_save_scanlist begin.");
    if (m_exectlHandle != nullptr) {
        ExectlSaveScanlistFunc save = forUpdate ? m_exectlSaveScanlistForUpdate : m_exectlSaveScanlist;
        if (save != nullptr) {
            save(rootmnt.c_str(), array.data(), count);
        }
    }
    LOG_INFO("exectl_save_scanlist end.");
    return 0;
}
