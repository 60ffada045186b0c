// setFileTid and delUserSetFileTid with a pattern that matches 10k labelled
// files on tmpfs, through the bus and the whole request frame, against the
// bare read-modify-write of the same labels and one store of the identity
// data, in the same run.
#include <benchmark/benchmark.h>

#include <sys/xattr.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/label_context.h"
#include "common/label_xattr.h"
#include "common/paths.h"
#include "store/vetu_restore_init.h"
#include "bench/bus_service_setup.h"
#include "support/bus_client.h"

namespace {

constexpr int kFiles = 10000;
// Changing calls are limited to 50 a second per caller: rotate.
constexpr size_t kClients = 16;

struct Setup : BusServiceSetup {
    Setup()
    {
        LabelContext label;
        const std::string text = contextToString(label);
        for (int i = 0; i < kFiles; ++i) {
            char name[32];
            snprintf(name, sizeof(name), "d/f%05d", i);
            files.push_back(tree.file(name));
            lsetxattr(files.back().c_str(), kLabelXattrName, text.data(), text.size(), 0);
        }
        startService(kClients);
    }
};

Setup& setup()
{
    static Setup instance;
    return instance;
}

void BM_SetFileTidPattern10k(benchmark::State& state)
{
    Setup& s = setup();
    if (!s.ok()) {
        state.SkipWithError("no bus");
        return;
    }
    const std::string pattern = s.tree.path("d/*");
    uint32_t tid = 1;
    size_t next = 0;
    for (auto _ : state) {
        const std::string reply =
            s.clients[next++ % kClients]->call("setFileTid", {argString(pattern), argU32(tid++), argI32(1)}, 60000);
        if (reply != "0") {
            state.SkipWithError(reply.c_str());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_SetFileTidPattern10k)->Unit(benchmark::kMillisecond)->UseRealTime();

// The delete resets the labels as its walk finds them.
void BM_DelFileTidPattern10k(benchmark::State& state)
{
    Setup& s = setup();
    if (!s.ok()) {
        state.SkipWithError("no bus");
        return;
    }
    const std::string pattern = s.tree.path("d/*");
    size_t next = 0;
    for (auto _ : state) {
        state.PauseTiming();
        s.store.identityDataUserConfigTidGlob.set(pattern, 1);
        state.ResumeTiming();
        const std::string reply =
            s.clients[next++ % kClients]->call("delUserSetFileTid", {argString(pattern), argI32(1)}, 60000);
        if (reply != "0") {
            state.SkipWithError(reply.c_str());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_DelFileTidPattern10k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareLabelRewrite10k(benchmark::State& state)
{
    Setup& s = setup();
    uint32_t tid = 1;
    for (auto _ : state) {
        for (const auto& path : s.files) {
            LabelContext label;
            if (getFileLabelFromXattr(path.c_str(), &label, kXattrModeFile) != 0) {
                state.SkipWithError("read failed");
                return;
            }
            label.tid = tid;
            setFileLabelToXattr(path.c_str(), &label, kXattrModeFile);
        }
        ++tid;
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_BareLabelRewrite10k)->Unit(benchmark::kMillisecond);

void BM_StoreIdentityData(benchmark::State& state)
{
    Setup& s = setup();
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.store.storeIndentityData());
    }
}
BENCHMARK(BM_StoreIdentityData)->Unit(benchmark::kMillisecond);

}  // namespace
