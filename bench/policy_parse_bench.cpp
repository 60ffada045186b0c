// A policy naming 100k files on tmpfs (half through object and subject file
// patterns, half through recursive trees) against its floor in the same
// rounds: the bare read-modify-write of the same labels on 8 threads plus the
// identity store of the parse (with and without labels on the directories).
// The identity store itself is set against its own floor: the same bytes
// written once (write, fsync, rename).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "common/file_utils.h"
#include "common/logger.h"
#include "common/paths.h"
#include "restore/vetu_restore_context.h"
#include "service/policy_parse.h"
#include "store/vetu_restore_init.h"
#include "ratio_counters.h"
#include "support/id_pairs_stub.h"

namespace {

constexpr int kDirs = 100;
constexpr int kFilesPerDir = 1000;
constexpr int kThreads = 8;
constexpr const char kRoot[] = "/tmp/vetu-bench-policy";
const std::string kValue = "0000000000000001-0000000000000002-0000000000000003:00000004:"
                           "0000000000000005-0000000000000006-0000000000000007:00000005:"
                           "0000000000000000-0000000000000000-0000000000000000";

std::string dirPath(int d)
{
    return std::string(kRoot) + "/d" + std::to_string(d);
}

// The files, and each file once more for every further label change the
// policy makes on it (pattern files carry an oid and a sid).
const std::vector<std::string>& benchFiles()
{
    static const std::vector<std::string> changes = [] {
        std::vector<std::string> all;
        std::filesystem::create_directories(kRoot);
        for (int d = 0; d < kDirs; ++d) {
            std::filesystem::create_directories(dirPath(d));
            for (int f = 0; f < kFilesPerDir; ++f) {
                const std::string file = dirPath(d) + "/f" + std::to_string(f);
                const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                if (fd < 0) {
                    throw std::runtime_error("create " + file);
                }
                close(fd);
                all.push_back(file);
                if (d < kDirs / 2) {
                    all.push_back(file);
                }
            }
        }
        return all;
    }();
    return changes;
}

OriginPolicy benchPolicy()
{
    OriginPolicy policy;
    for (int d = 0; d < kDirs; ++d) {
        if (d < kDirs / 2) {
            policy["object_file"].push_back(dirPath(d) + "/*");
            policy["subject_file"].push_back(dirPath(d) + "/*");
        } else {
            policy[d % 2 == 0 ? "object_recurfile" : "subject_recurfile"].push_back(dirPath(d));
        }
    }
    return policy;
}

double bareReadModifyWrite(const std::vector<std::string>& files)
{
    const auto start = std::chrono::steady_clock::now();
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            char current[1024];
            for (size_t i = next++; i < files.size(); i = next++) {
                benchmark::DoNotOptimize(lgetxattr(files[i].c_str(), "security.vetu", current, sizeof(current)));
                lsetxattr(files[i].c_str(), "security.vetu", kValue.data(), kValue.size(), 0);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double secondsOf(const std::function<void()>& run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The least a store of these bytes must do: one new file in the data
// directory, written, synced and renamed into place.
void writeOnce(const std::string& bytes)
{
    const std::string path = std::string(paths::kDataDir) + "/bench-floor.json";
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("create " + tmp);
    }
    writeAll(fd, bytes.data(), bytes.size());
    if (fsync(fd) != 0 || close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("write " + path);
    }
}

// Counters: medians over the rounds of each side's wall time, x_floor the
// parse over the bare labels plus the identity store, x_store_floor the
// store over its floor, each ratio's spread, and the load.
void BM_PolicyParse(benchmark::State& state)
{
    const auto& files = benchFiles();
    std::filesystem::create_directories(paths::kDataDir);
    std::filesystem::create_directories(paths::kLogDir);
    id_pairs_stub::create();
    Logger::getInstance();
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::WARN);
    VetuRestoreInit& store = VetuRestoreInit::getInstance();
    ThPool pool(ThPool::defaultSize());
    PolicyParser parser(store, VetuRestoreContext::getInstance(), pool);
    const OriginPolicy policy = benchPolicy();
    // Argument 1: the directories carry labels, as every directory of a
    // running system does; 0: they carry none, so that every file of a
    // pattern logs that its directory's inherit flag could not be set.
    for (int d = 0; d < kDirs; ++d) {
        if (state.range(0) != 0) {
            lsetxattr(dirPath(d).c_str(), "security.vetu", kValue.data(), kValue.size(), 0);
        } else {
            lremovexattr(dirPath(d).c_str(), "security.vetu");
        }
    }
    std::vector<double> bare, parse, identityStore, storeFloor, xFloor, xStoreFloor;
    const double loadStart = loadAverage();
    for (auto _ : state) {
        bare.push_back(bareReadModifyWrite(files));
        parse.push_back(secondsOf([&] { parser.policies_parse(policy); }));
        identityStore.push_back(secondsOf([&] { store.storeIndentityData(); }));
        const std::string bytes = readFile(paths::kIdentityData);
        storeFloor.push_back(secondsOf([&] { writeOnce(bytes); }));
        parser.joinDumpLogs();
        xFloor.push_back(parse.back() / (bare.back() + identityStore.back()));
        xStoreFloor.push_back(identityStore.back() / storeFloor.back());
    }
    state.counters["bare_ms"] = median(bare) * 1000;
    state.counters["parse_ms"] = median(parse) * 1000;
    state.counters["identity_store_ms"] = median(identityStore) * 1000;
    state.counters["store_floor_ms"] = median(storeFloor) * 1000;
    reportRatio(state, "x_floor", xFloor);
    reportRatio(state, "x_store_floor", xStoreFloor);
    state.counters["load"] = (loadStart + loadAverage()) / 2;
}

}  // namespace

BENCHMARK(BM_PolicyParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
