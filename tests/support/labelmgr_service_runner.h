// Runs a label service object on the test's system bus (a PrivateBus) on a
// thread of its own, as the daemon's service thread does: its own
// dispatcher and connection, the bus name, the object, the dispatch loop.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "service/context_mgr_service.h"

class VetuRestoreInit;

class LabelMgrServiceRunner {
public:
    using Factory = std::function<std::unique_ptr<ContextMgrService>(DBus::Connection&)>;

    // The plain service on store, with stopFlag as the process stop flag.
    LabelMgrServiceRunner(VetuRestoreInit& store, const std::atomic<bool>& stopFlag);
    // A service of the factory's making (a subclass, for instance).
    explicit LabelMgrServiceRunner(Factory factory);
    ~LabelMgrServiceRunner();
    LabelMgrServiceRunner(const LabelMgrServiceRunner&) = delete;
    LabelMgrServiceRunner& operator=(const LabelMgrServiceRunner&) = delete;

    // True once the object is registered and the name is owned.
    bool ok() const { return m_state.load() == kServing; }

private:
    enum State { kStarting, kServing, kFailed };
    void run(const Factory& factory);

    std::atomic<int> m_state{kStarting};
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};
