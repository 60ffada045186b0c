// A private system bus with polkitd, which admits root, a ready
// store of the test's own, and the label service on them once start() runs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "store/vetu_restore_init.h"
#include "support/labelmgr_service_runner.h"
#include "support/polkit_daemon.h"
#include "support/private_bus.h"

inline const std::string kInvalid = "!org.freedesktop.DBus.Error.InvalidArgs: ";

inline std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// An identifier triple as a reply shows it.
inline std::string triple(uint64_t pkg, uint64_t file, uint64_t path)
{
    return "{\"file_id\":" + std::to_string(file) + ",\"path_id\":" + std::to_string(path) + ",\"pkg_id\":" +
           std::to_string(pkg) + "}";
}

class LabelMgrBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.ok()) << bus.error();
        ASSERT_TRUE(polkit.ok()) << polkit.error();
        store.m_isInitialized = true;
    }
    void start()
    {
        runner = std::make_unique<LabelMgrServiceRunner>(store, stop);
        ASSERT_TRUE(runner->ok());
    }

    PrivateBus bus;
    PolkitDaemon polkit;
    VetuRestoreInit store;
    std::atomic<bool> stop{false};
    std::unique_ptr<LabelMgrServiceRunner> runner;
};
