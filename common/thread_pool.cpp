#include "common/thread_pool.h"

int ThPool::defaultSize()
{
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 2 : static_cast<int>(count);
}

ThPool::ThPool(int threadCount)
{
    const int count = threadCount < 1 ? 1 : threadCount;
    try {
        m_workers.reserve(count);
        for (int i = 0; i < count; ++i) {
            m_workers.emplace_back(&ThPool::workerLoop, this);
        }
    } catch (...) {
        stop();
        throw;
    }
}

ThPool::~ThPool()
{
    stop();
}

void ThPool::stop()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stop = true;
    }
    m_condition.notify_all();
    std::lock_guard<std::mutex> guard(m_joinMutex);
    m_joiner.joinAll();
}

void ThPool::workerLoop()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_condition.wait(lock, [this]() { return m_stop || !m_tasks.empty(); });
            if (m_stop) {
                return;
            }
            task = std::move(m_tasks.front());
            m_tasks.pop();
        }
        task();
    }
}
