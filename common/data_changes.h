// Changes of the shared tables of the process (every SyncMap, every
// published value and the store's package containers) are counted, so that
// something built from those tables can be kept until they change and its
// reader learns with one atomic load whether it is still current.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

inline std::atomic<uint64_t> g_dataChanges{0};

inline uint64_t dataChangeCount()
{
    return g_dataChanges.load(std::memory_order_acquire);
}

// Called by a writer once its change is visible to a reader that takes the
// table's lock (inside that lock is fine).
inline void noteDataChange()
{
    g_dataChanges.fetch_add(1, std::memory_order_acq_rel);
}

// A value built from the shared tables of one owner and shared by every
// reader until some table changes: then the next reader builds it anew.
// A value built while a change lands is kept under the count read before
// the build, so the reader after it builds again. Without keep, a value
// nobody holds any more is freed (and built again when next asked for), for
// values too big to keep between uses.
template <typename T>
class BuiltPerChange {
public:
    explicit BuiltPerChange(bool keep = true) : m_keep(keep) {}

    template <typename Build>
    std::shared_ptr<const T> get(const void* owner, Build&& build)
    {
        const uint64_t count = dataChangeCount();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_count == count && m_owner == owner) {
                if (std::shared_ptr<const T> value = m_keep ? m_kept : m_shared.lock()) {
                    return value;
                }
            }
        }
        std::shared_ptr<const T> value = std::make_shared<const T>(std::forward<Build>(build)());
        std::shared_ptr<const T> old;  // freed outside the lock
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_keep) {
            old.swap(m_kept);
            m_kept = value;
        }
        m_shared = value;
        m_count = count;
        m_owner = owner;
        return value;
    }

private:
    const bool m_keep;
    std::mutex m_lock;
    std::shared_ptr<const T> m_kept;
    std::weak_ptr<const T> m_shared;
    uint64_t m_count = 0;
    const void* m_owner = nullptr;
};
