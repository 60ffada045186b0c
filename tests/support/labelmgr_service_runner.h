// A label service object on the test's system bus, served from a thread of
// its own as the daemon's service thread does.
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

    bool ok() const { return m_state.load() == kServing; }  // registered, name owned

private:
    enum State { kStarting, kServing, kFailed };
    void run(const Factory& factory);

    std::atomic<int> m_state{kStarting};
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};
