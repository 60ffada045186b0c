#include "restore/inherit_flag_memo.h"

#include <mutex>
#include <string_view>

#include "restore/vetu_restore_context.h"
#include "store/label_defaults.h"

int InheritFlagMemo::setFull(const std::string& path, const struct stat& st)
{
    // The directory the flag goes to: the path itself, else its parent (the
    // nearest existing directory above an existing path).
    std::string_view dir(path);
    if (!S_ISDIR(st.st_mode)) {
        const size_t slash = dir.rfind('/');
        if (slash == std::string_view::npos || path.back() == '/' || path.find("//") != std::string::npos) {
            return setParentDirInheritFlag(path, kInheritFlagFull);
        }
        dir = slash == 0 ? std::string_view("/") : dir.substr(0, slash);
    }
    uint64_t forgets = 0;
    {
        std::shared_lock<std::shared_mutex> lock(m_mutex);
        const auto known = m_results.find(dir);
        if (known != m_results.end()) {
            return known->second;
        }
        forgets = m_forgets;
    }
    const int result = setParentDirInheritFlag(path, kInheritFlagFull);
    std::unique_lock<std::shared_mutex> lock(m_mutex);
    if (m_forgets == forgets) {
        m_results.emplace(std::string(dir), result);
    }
    return result;
}

void InheritFlagMemo::forget(const std::string& dir)
{
    std::unique_lock<std::shared_mutex> lock(m_mutex);
    ++m_forgets;
    m_results.erase(dir);
}
