// A private system bus with polkitd, which admits root, a ready
// store of the test's own, and the label service on them once start() runs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "store/vetu_restore_init.h"
#include "support/labelmgr_service_runner.h"
#include "support/polkit_daemon.h"
#include "support/private_bus.h"

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
