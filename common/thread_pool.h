// Fixed pool of worker threads fed from one first-in first-out task queue.
#pragma once

#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

// Joins every joinable thread of the vector it watches when it goes.
class ThreadJoiner {
public:
    explicit ThreadJoiner(std::vector<std::thread>& threads) : m_threads(threads) {}
    ~ThreadJoiner() { joinAll(); }
    ThreadJoiner(const ThreadJoiner&) = delete;
    ThreadJoiner& operator=(const ThreadJoiner&) = delete;

    // A thread never joins itself (a task that stops its own pool).
    void joinAll()
    {
        for (auto& thread : m_threads) {
            if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
                thread.join();
            }
        }
    }

private:
    std::vector<std::thread>& m_threads;
};

class ThPool {
public:
    // The size every owner uses: one worker per processor, 2 when unknown.
    static int defaultSize();

    // Fewer than one worker would leave every future waiting: one at least.
    explicit ThPool(int threadCount);
    ~ThPool();
    ThPool(const ThPool&) = delete;
    ThPool& operator=(const ThPool&) = delete;

    // Queues the callable with its arguments (copied into the task). Throws
    // std::runtime_error "thread pool has stopped" once the pool has stopped.
    // A task's own exception reaches the caller through the future.
    template <typename F, typename... Args>
    auto add(F&& func, Args&&... args) -> std::future<std::invoke_result_t<std::decay_t<F>&, std::decay_t<Args>&...>>
    {
        using R = std::invoke_result_t<std::decay_t<F>&, std::decay_t<Args>&...>;
        auto task = std::make_shared<std::packaged_task<R()>>(
            std::bind(std::forward<F>(func), std::forward<Args>(args)...));
        std::future<R> result = task->get_future();
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_stop) {
                throw std::runtime_error("thread pool has stopped");
            }
            m_tasks.emplace([task]() { (*task)(); });
        }
        m_condition.notify_one();
        return result;
    }

    // Stops for good: workers leave without running what is still queued and
    // are joined; every later add throws.
    void stop();

private:
    void workerLoop();

    bool m_stop = false;
    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::queue<std::function<void()>> m_tasks;
    std::vector<std::thread> m_workers;
    ThreadJoiner m_joiner{m_workers};
    // An owner's early stop and the destructor must not join one thread twice.
    std::mutex m_joinMutex;
};
