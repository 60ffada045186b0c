// User-set type ids and inherit flags: the argument checks of each method
// around the shared verbs of user_set_entries.h, which also rewrite the
// labels.
#include "service/request_frame.h"
#include "service/user_set_entries.h"
#include "store/label_defaults.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr uint32_t kMaxInheritFlag = kInheritFlagFull;

}  // namespace

int32_t ContextMgrService::setFileTid(const std::string& filepath, const uint32_t& tid, const int32_t& pattern_match,
                                      const std::string& sender)
{
    return runRequest<Method::setFileTid>(
        sender, [&] { return checkUserSetPath(filepath); },
        [&] { return int32_t(setUserEntry(m_store, kUserSetTids, filepath, tid, pattern_match != 0)); });
}

ContextMgrService::U32ByPath ContextMgrService::queryUserSetFileTid(const std::string& filepath,
                                                                    const int32_t& pattern_match,
                                                                    const std::string& sender)
{
    return runRequest<Method::queryUserSetFileTid>(
        sender, [&] { return checkUserSetPath(filepath); },
        [&] { return queryUserEntries(m_store, kUserSetTids, filepath, pattern_match != 0); });
}

ContextMgrService::U32ByPath ContextMgrService::showUserSetFileTid(const std::string& sender)
{
    return runRequest<Method::showUserSetFileTid>(sender, kNoArgumentChecks,
                                                  [&] { return showUserEntries(m_store, kUserSetTids); });
}

int32_t ContextMgrService::delUserSetFileTid(const std::string& filepath, const int32_t& pattern_match,
                                             const std::string& sender)
{
    return runRequest<Method::delUserSetFileTid>(
        sender, [&] { return checkUserSetPath(filepath); },
        [&] { return int32_t(deleteUserEntry(m_store, kUserSetTids, filepath, pattern_match != 0)); });
}

int32_t ContextMgrService::delAllUserSetFileTid(const std::string& sender)
{
    return runRequest<Method::delAllUserSetFileTid>(
        sender, kNoArgumentChecks, [&] { return int32_t(deleteAllUserEntries(m_store, kUserSetTids)); });
}

int32_t ContextMgrService::setFileInheritFlag(const std::string& filepath, const uint32_t& inheritFlag,
                                              const int32_t& pattern_match, const std::string& sender)
{
    return runRequest<Method::setFileInheritFlag>(
        sender,
        [&]() -> const char* {
            const char* invalid = checkUserSetPath(filepath);
            return invalid != nullptr || inheritFlag <= kMaxInheritFlag ? invalid : "inheritFlag is invalid";
        },
        [&] {
            return int32_t(setUserEntry(m_store, kUserSetInheritFlags, filepath, inheritFlag, pattern_match != 0));
        });
}

ContextMgrService::U32ByPath ContextMgrService::queryUserSetFileInheritFlag(const std::string& filepath,
                                                                            const int32_t& pattern_match,
                                                                            const std::string& sender)
{
    return runRequest<Method::queryUserSetFileInheritFlag>(
        sender, [&] { return checkUserSetPath(filepath); },
        [&] { return queryUserEntries(m_store, kUserSetInheritFlags, filepath, pattern_match != 0); });
}

ContextMgrService::U32ByPath ContextMgrService::showUserSetFileInheritFlag(const std::string& sender)
{
    return runRequest<Method::showUserSetFileInheritFlag>(
        sender, kNoArgumentChecks, [&] { return showUserEntries(m_store, kUserSetInheritFlags); });
}

int32_t ContextMgrService::delUserSetFileInheritFlag(const std::string& filepath, const int32_t& pattern_match,
                                                     const std::string& sender)
{
    return runRequest<Method::delUserSetFileInheritFlag>(
        sender, [&] { return checkUserSetPath(filepath); },
        [&] { return int32_t(deleteUserEntry(m_store, kUserSetInheritFlags, filepath, pattern_match != 0)); });
}

int32_t ContextMgrService::delAllUserSetFileInheritFlag(const std::string& sender)
{
    return runRequest<Method::delAllUserSetFileInheritFlag>(
        sender, kNoArgumentChecks, [&] { return int32_t(deleteAllUserEntries(m_store, kUserSetInheritFlags)); });
}
