// FIFO between the one producer and the consumers of a relabel run. With a
// capacity, a producer waits while the queue holds that many items, so a
// walk that outruns its consumers holds a fixed amount of memory.
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

    // 0, the default, is no bound. A producer already waiting sees the new one.
    void setCapacity(size_t capacity)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_capacity = capacity;
        m_space.notify_all();
    }

    // Waits while the queue is full; an item is never dropped.
    void push(T item)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        waitForSpaceLocked(lock);
        m_queue.push_back(std::move(item));
        m_cond.notify_one();
    }

    // Appends every item under one lock and leaves items empty; waits first
    // while the queue is full (it may then exceed its capacity by one batch).
    void pushBatch(std::vector<T>& items)
    {
        if (items.empty()) {
            return;
        }
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            waitForSpaceLocked(lock);
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
        wakeProducerLocked();
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
        wakeProducerLocked();
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
        m_space.notify_all();
    }

private:
    void waitForSpaceLocked(std::unique_lock<std::mutex>& lock)
    {
        ++m_waitingProducers;
        m_space.wait(lock, [this] { return m_capacity == 0 || m_queue.size() < m_capacity; });
        --m_waitingProducers;
    }

    // Only once half the room is free, so a producer is not woken per pop.
    void wakeProducerLocked()
    {
        if (m_waitingProducers != 0 && m_queue.size() <= m_capacity / 2) {
            m_space.notify_all();
        }
    }

    void wakeNextLocked()
    {
        if (!m_queue.empty()) {
            m_cond.notify_one();
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::condition_variable m_space;
    std::deque<T> m_queue;
    size_t m_capacity = 0;
    size_t m_waitingProducers = 0;
    std::atomic<bool> m_finished{false};
};
