// The futures of tasks queued on a pool by one caller. Whatever way the
// caller leaves, every task it queued has finished (or been dropped by a
// stopped pool) before the caller goes on: none still writes after its
// caller has failed and its effects were undone.
#pragma once

#include <cstddef>
#include <future>
#include <utility>
#include <vector>

template <typename T>
class PendingTasks {
public:
    PendingTasks() = default;
    ~PendingTasks() { waitAll(); }
    PendingTasks(const PendingTasks&) = delete;
    PendingTasks& operator=(const PendingTasks&) = delete;

    // The position of the task's future.
    size_t add(std::future<T> future)
    {
        m_futures.push_back(std::move(future));
        return m_futures.size() - 1;
    }
    // Waits for the task and hands over its result or its exception.
    T get(size_t position) { return m_futures.at(position).get(); }
    size_t size() const { return m_futures.size(); }

    void waitAll()
    {
        for (auto& future : m_futures) {
            if (future.valid()) {
                future.wait();
            }
        }
    }

private:
    std::vector<std::future<T>> m_futures;
};
