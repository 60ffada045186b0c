// Ordered maps shared between threads. Each map carries its own lock and
// hands data out only by copy, so no caller ever holds a reference into it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "common/data_changes.h"

class ISynchronizationPolicy {
public:
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual ~ISynchronizationPolicy() = default;
};

class MutexSynchronizationPolicy : public ISynchronizationPolicy {
public:
    // std::mutex::lock already reports a failure as std::system_error.
    void lock() override { m_mutex.lock(); }
    void unlock() override { m_mutex.unlock(); }
    // Lets std::lock take two policies together without deadlock.
    bool try_lock() { return m_mutex.try_lock(); }

private:
    std::mutex m_mutex;
};

template <typename K, typename V>
class SyncMap {
public:
    SyncMap() = default;
    SyncMap(const SyncMap&) = delete;

    // Copies the entries; each side keeps its own lock. Both locks are taken
    // together so that A = B and B = A on two threads cannot deadlock.
    SyncMap& operator=(const SyncMap& other)
    {
        if (this == &other) {
            return *this;
        }
        Snapshot stale;  // freed after the locks are released
        std::lock(m_policy, other.m_policy);
        std::lock_guard<MutexSynchronizationPolicy> otherGuard(other.m_policy, std::adopt_lock);
        std::lock_guard<MutexSynchronizationPolicy> ownGuard(m_policy, std::adopt_lock);
        m_map = other.m_map;
        stale.swap(m_snapshot);
        noteDataChange();
        return *this;
    }

    // Exchanges the entries with other's, as a copy takes the locks: a
    // snapshot of a map that is emptied next costs no copy.
    void swap(SyncMap& other)
    {
        if (this == &other) {
            return;
        }
        Snapshot staleOwn;  // freed after the locks are released
        Snapshot staleOther;
        std::lock(m_policy, other.m_policy);
        std::lock_guard<MutexSynchronizationPolicy> otherGuard(other.m_policy, std::adopt_lock);
        std::lock_guard<MutexSynchronizationPolicy> ownGuard(m_policy, std::adopt_lock);
        m_map.swap(other.m_map);
        staleOwn.swap(m_snapshot);
        staleOther.swap(other.m_snapshot);
        noteDataChange();
    }

    // 0 and the value copied out when present; -1 and value untouched when absent.
    int get(const K& key, V& value) const
    {
        std::lock_guard<MutexSynchronizationPolicy> guard(m_policy);
        const auto it = m_map.find(key);
        if (it == m_map.end()) {
            return -1;
        }
        value = it->second;
        return 0;
    }

    void set(const K& key, const V& value)
    {
        const struct {
            const K& first;
            const V& second;
        } entry{key, value};
        setEach(&entry, &entry + 1);
    }

    // Each (first, second) in [begin, end) set in turn, the lock taken once;
    // every insertion goes through here.
    template <class It>
    void setEach(It begin, It end)
    {
        Snapshot stale;
        std::lock_guard<MutexSynchronizationPolicy> guard(m_policy);
        for (; begin != end; ++begin) {
            m_map.insert_or_assign(begin->first, begin->second);
        }
        stale.swap(m_snapshot);
        noteDataChange();
    }

    void erase(const K& key)
    {
        Snapshot stale;
        std::lock_guard<MutexSynchronizationPolicy> guard(m_policy);
        m_map.erase(key);
        stale.swap(m_snapshot);
        noteDataChange();
    }

    std::map<K, V> getAll() const
    {
        std::lock_guard<MutexSynchronizationPolicy> guard(m_policy);
        return m_map;
    }

    // Calls visit with the map under its lock, so that a reader that only
    // walks it once needs no copy. visit must not use this map itself.
    template <class Visit>
    void visitLocked(Visit&& visit) const
    {
        std::lock_guard<MutexSynchronizationPolicy> guard(m_policy);
        visit(static_cast<const std::map<K, V>&>(m_map));
    }

    // The whole map as an immutable copy that every reader shares until the
    // next change: a map read far more often than it is written is then not
    // copied per read, and the lock is held only to hand out the pointer.
    std::shared_ptr<const std::map<K, V>> snapshot() const
    {
        std::lock_guard<MutexSynchronizationPolicy> guard(m_policy);
        if (!m_snapshot) {
            m_snapshot = std::make_shared<const std::map<K, V>>(m_map);
        }
        return m_snapshot;
    }

    void clear()
    {
        Snapshot stale;
        std::lock_guard<MutexSynchronizationPolicy> guard(m_policy);
        m_map.clear();
        stale.swap(m_snapshot);
        noteDataChange();
    }

private:
    using Snapshot = std::shared_ptr<const std::map<K, V>>;

    std::map<K, V> m_map;
    mutable MutexSynchronizationPolicy m_policy;
    // Built by the first snapshot() after a change; dropped by every change.
    mutable Snapshot m_snapshot;
};
