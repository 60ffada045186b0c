// Relabels renamed paths on a few workers of its own, so that a flood of
// renames costs queue entries, not threads, and nothing outlives its owner.
#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>

#include "common/thread_pool.h"

class VetuRestoreInit;

class RenameRelabelQueue {
public:
    RenameRelabelQueue(VetuRestoreInit& store, int workers, size_t maxPending);
    // Relabels still queued are dropped; the ones running finish first.
    ~RenameRelabelQueue();
    RenameRelabelQueue(const RenameRelabelQueue&) = delete;
    RenameRelabelQueue& operator=(const RenameRelabelQueue&) = delete;

    // Queues a relabel of path without waiting for it. A path already waiting
    // is relabelled once. False when maxPending paths wait already.
    bool submit(const std::string& path);
    // How many paths wait for a worker.
    size_t pending();

    // A real directory (not a link to one) gets its tree relabelled, anything
    // else its own label.
    static void relabelRenamed(const std::string& path, VetuRestoreInit& store);

private:
    void run(const std::string& path);

    VetuRestoreInit& m_store;
    const size_t m_maxPending;
    std::mutex m_mutex;
    std::set<std::string> m_pending;
    // Last: its workers are joined before the members they use go.
    ThPool m_pool;
};
