// A value that readers on other threads must never see half-built: writers
// build a new copy and swap it in; readers keep the copy they loaded for as
// long as they use it.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "common/data_changes.h"

template <typename T>
class PublishedValue {
public:
    PublishedValue() : m_current(std::make_shared<const T>()) {}
    // Copies share the immutable value; later stores on either side do not
    // reach the other.
    PublishedValue(const PublishedValue& other) : m_current(other.load()) {}
    PublishedValue& operator=(const PublishedValue& other)
    {
        if (this != &other) {
            std::shared_ptr<const T> next = other.load();
            std::lock_guard<std::mutex> writer(m_writeLock);
            publish(std::move(next));
        }
        return *this;
    }

    // Never null.
    std::shared_ptr<const T> load() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_current;
    }

    void store(T value)
    {
        auto next = std::make_shared<const T>(std::move(value));
        std::lock_guard<std::mutex> writer(m_writeLock);
        publish(std::move(next));
    }

    // Read-modify-write of the value; concurrent changes are applied one
    // after the other, none is lost.
    template <typename F>
    void update(F&& change)
    {
        std::lock_guard<std::mutex> writer(m_writeLock);
        T next(*load());
        change(next);
        publish(std::make_shared<const T>(std::move(next)));
    }

private:
    void publish(std::shared_ptr<const T> next)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_current.swap(next);
        }
        noteDataChange();
        // The old value, now in next, is freed here, outside the reader lock.
    }

    mutable std::mutex m_lock;
    std::mutex m_writeLock;
    std::shared_ptr<const T> m_current;
};
