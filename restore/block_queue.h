// Unbounded FIFO between the one producer and the consumers of a relabel run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

template <typename T>
class BlockQueue {
public:
    BlockQueue() = default;
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    void push(T item)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_queue.push_back(std::move(item));
        m_cond.notify_one();
    }

    // Appends every item under one lock and leaves items empty.
    void pushBatch(std::vector<T>& items)
    {
        if (items.empty()) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            for (auto& item : items) {
                m_queue.push_back(std::move(item));
            }
        }
        items.clear();
        // One waiter is enough: a consumer that leaves items behind wakes the next.
        m_cond.notify_one();
    }

    // Blocks while the queue is empty and open; throws once it is finished and empty.
    T pop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_queue.empty()) {
            if (m_finished) {
                throw std::runtime_error("Queue is finished and empty");
            }
            m_cond.wait(lock);
        }
        T item = std::move(m_queue.front());
        m_queue.pop_front();
        wakeNextLocked();
        return item;
    }

    // Moves up to max items into out (cleared first). Blocks while the queue is
    // empty and open; false once it is finished and empty.
    bool popBatch(std::vector<T>& out, size_t max)
    {
        out.clear();
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_queue.empty()) {
            if (m_finished) {
                return false;
            }
            m_cond.wait(lock);
        }
        while (!m_queue.empty() && out.size() < max) {
            out.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        wakeNextLocked();
        return true;
    }

    bool empty() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_queue.empty();
    }

    // True once setFinished ran and the last item was taken: nothing more comes.
    bool isFinishedAndEmpty() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_finished && m_queue.empty();
    }

    void setFinished()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_finished = true;
        m_cond.notify_all();
    }

    // Opens the queue for another run: the finished state of the last run
    // would otherwise end the next run's consumers early.
    void reset()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_queue.clear();
        m_finished = false;
    }

private:
    void wakeNextLocked()
    {
        if (!m_queue.empty()) {
            m_cond.notify_one();
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<T> m_queue;
    std::atomic<bool> m_finished{false};
};
