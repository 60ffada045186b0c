// A label service on a private bus with the polkit stand-in, a scratch tree
// and clients to spread calls over: what the benchmarks that call the
// service over the bus share.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/paths.h"
#include "store/vetu_restore_init.h"
#include "support/bus_client.h"
#include "support/labelmgr_service_runner.h"
#include "polkit_stub.h"
#include "support/private_bus.h"
#include "support/temp_tree.h"

struct BusServiceSetup {
    BusServiceSetup() { std::filesystem::create_directories(paths::kDataDir); }

    // Starts the service on a ready store and connects the clients.
    void startService(size_t clientCount)
    {
        store.m_isInitialized = true;
        runner = std::make_unique<LabelMgrServiceRunner>(store, stop);
        for (size_t i = 0; i < clientCount; ++i) {
            clients.push_back(std::make_unique<BusClient>());
        }
    }
    bool ok() const { return bus.ok() && polkit.ok() && runner && runner->ok(); }

    PrivateBus bus;
    PolkitStub polkit;
    TempTree tree;
    std::vector<std::string> files;
    VetuRestoreInit store;
    std::atomic<bool> stop{false};
    std::unique_ptr<LabelMgrServiceRunner> runner;
    std::vector<std::unique_ptr<BusClient>> clients;
};
