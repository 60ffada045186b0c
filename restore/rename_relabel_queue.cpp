#include "restore/rename_relabel_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <exception>

#include "common/log_text.h"
#include "common/logger.h"
#include "restore/vetu_restore_context.h"

RenameRelabelQueue::RenameRelabelQueue(VetuRestoreInit& store, int workers, size_t maxPending)
    : m_store(store), m_maxPending(maxPending), m_pool(workers)
{
}

RenameRelabelQueue::~RenameRelabelQueue()
{
    m_pool.stop();
}

bool RenameRelabelQueue::submit(const std::string& path)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_pending.count(path) > 0) {
            return true;
        }
        if (m_pending.size() >= m_maxPending) {
            return false;
        }
        m_pending.insert(path);
    }
    try {
        m_pool.add(&RenameRelabelQueue::run, this, path);
        return true;
    } catch (const std::exception&) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_pending.erase(path);
        return false;
    }
}

size_t RenameRelabelQueue::pending()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_pending.size();
}

void RenameRelabelQueue::run(const std::string& path)
{
    {
        // A rename of this path from now on needs a relabel of its own.
        std::lock_guard<std::mutex> guard(m_mutex);
        m_pending.erase(path);
    }
    try {
        relabelRenamed(path, m_store);
    } catch (const std::exception& e) {
        LOG_ERROR("relabel of renamed %s failed: %s", logSafe(path).c_str(), logSafe(e.what()).c_str());
    }
}

void RenameRelabelQueue::relabelRenamed(const std::string& path, VetuRestoreInit& store)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        VetuRestoreContext::restoreDirLabel(path, store, 0);
    } else {
        VetuRestoreContext::restoreFileLabel(path, store);
    }
}
