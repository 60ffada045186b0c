// A full relabel run against the least any labeller must do: a bare parallel
// walk that writes one 170-byte value per entry with lsetxattr on 8 threads.
// Both work on the same generated tree of about 200k entries on tmpfs; the
// relabel reports its time as a multiple of the baseline's.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "common/logger.h"
#include "common/paths.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"
#include "support/sandbox.h"

namespace {

constexpr int kTopDirs = 200;
constexpr int kSubDirs = 10;
constexpr int kFilesPerDir = 99;  // 200 + 2000 + 198000 entries
constexpr int kBaselineThreads = 8;
constexpr const char kTreeRoot[] = "/tmp/vetu-bench-tree";
// A well-formed label, so that the relabel that follows a baseline pass reads
// labels as it would on a labelled system.
const std::string kValue = "0000000000000001-0000000000000002-0000000000000003:00000004:"
                           "0000000000000005-0000000000000006-0000000000000007:00000005:"
                           "0000000000000000-0000000000000000-0000000000000000";


void makeDir(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        throw std::runtime_error("mkdir " + path);
    }
}

const std::string& benchTree()
{
    static const std::string root = [] {
        makeDir(kTreeRoot);
        for (int top = 0; top < kTopDirs; ++top) {
            const std::string topDir = std::string(kTreeRoot) + "/d" + std::to_string(top);
            makeDir(topDir);
            for (int sub = 0; sub < kSubDirs; ++sub) {
                const std::string subDir = topDir + "/s" + std::to_string(sub);
                makeDir(subDir);
                for (int f = 0; f < kFilesPerDir; ++f) {
                    const std::string file = subDir + "/f" + std::to_string(f);
                    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                    if (fd < 0) {
                        throw std::runtime_error("create " + file);
                    }
                    close(fd);
                }
            }
        }
        return std::string(kTreeRoot);
    }();
    return root;
}

// Directories waiting to be listed, shared by the walkers; a walker ends once
// nothing is waiting and nobody is listing (nobody can add more).
class DirectoryStack {
public:
    explicit DirectoryStack(std::string root) { m_dirs.push_back(std::move(root)); }

    bool take(std::string& dir)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [&] { return !m_dirs.empty() || m_busy == 0; });
        if (m_dirs.empty()) {
            return false;
        }
        dir = std::move(m_dirs.back());
        m_dirs.pop_back();
        ++m_busy;
        return true;
    }

    void done(std::vector<std::string>& found)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (auto& dir : found) {
            m_dirs.push_back(std::move(dir));
        }
        found.clear();
        --m_busy;
        m_cond.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<std::string> m_dirs;
    int m_busy = 0;
};

// readFirst: read the current value before writing, as any relabel that
// keeps a field of the old label must; the floor for such an engine.
void baselineWalker(DirectoryStack& stack, std::atomic<long>& labelled, bool readFirst)
{
    char current[1024];
    std::string dir;
    std::vector<std::string> found;
    long count = 0;
    while (stack.take(dir)) {
        DIR* stream = opendir(dir.c_str());
        if (stream != nullptr) {
            while (const dirent* entry = readdir(stream)) {
                if (entry->d_name[0] == '.' &&
                    (entry->d_name[1] == '\0' || (entry->d_name[1] == '.' && entry->d_name[2] == '\0'))) {
                    continue;
                }
                std::string path = dir + "/" + entry->d_name;
                if (readFirst) {
                    benchmark::DoNotOptimize(lgetxattr(path.c_str(), "security.vetu", current, sizeof(current)));
                }
                if (lsetxattr(path.c_str(), "security.vetu", kValue.data(), kValue.size(), 0) == 0) {
                    ++count;
                }
                if (entry->d_type == DT_DIR) {
                    found.push_back(std::move(path));
                }
            }
            closedir(stream);
        }
        stack.done(found);
    }
    labelled += count;
}

// CPU seconds (user and system) the whole process has used so far.
double processCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One baseline pass; the number of entries written.
long runBaseline(const std::string& root, bool readFirst = false)
{
    DirectoryStack stack(root);
    std::atomic<long> count{0};
    std::vector<std::thread> walkers;
    for (int i = 0; i < kBaselineThreads; ++i) {
        walkers.emplace_back(baselineWalker, std::ref(stack), std::ref(count), readFirst);
    }
    for (auto& walker : walkers) {
        walker.join();
    }
    return count;
}

void BM_BaselineLsetxattrWalk(benchmark::State& state)
{
    const std::string& root = benchTree();
    long labelled = 0;
    for (auto _ : state) {
        labelled = runBaseline(root);
    }
    state.counters["entries"] = static_cast<double>(labelled);
}

// A full run over the same tree with an empty, ready store: what the engine
// adds to the writes themselves. Argument 0 logs at WARN, 1 at INFO (one line
// per labelled path).
void BM_TreeRelabel(benchmark::State& state)
{
    const std::string& root = benchTree();
    static const bool prepared = [] {
        // The run labels "/dev" itself; give it one of our own.
        if (!sandbox::mountPrivateDev()) {
            throw std::runtime_error("mount /dev");
        }
        VetuRestoreInit::getInstance().m_isInitialized = true;
        Logger::getInstance();
        return true;
    }();
    (void)prepared;
    const bool info = state.range(0) == 1;
    log4cpp::Category::getRoot().setPriority(info ? log4cpp::Priority::INFO : log4cpp::Priority::WARN);
    state.SetLabel(info ? "INFO" : "WARN");
    // The machine is shared, so every relabel is paired with baseline passes
    // right before it, and the ratios are taken over the pairs: x_baseline
    // against the bare writes, x_read_write against reads and writes, and
    // x_baseline_cpu the CPU time against that of the bare writes.
    double baselineSeconds = 0;
    double readWriteSeconds = 0;
    double relabelSeconds = 0;
    double baselineCpu = 0;
    double relabelCpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto readWriteStart = std::chrono::steady_clock::now();
        runBaseline(root, true);
        const auto baselineStart = std::chrono::steady_clock::now();
        readWriteSeconds += std::chrono::duration<double>(baselineStart - readWriteStart).count();
        const double baselineCpuStart = processCpuSeconds();
        runBaseline(root);
        const double relabelCpuStart = processCpuSeconds();
        baselineCpu += relabelCpuStart - baselineCpuStart;
        const auto relabelStart = std::chrono::steady_clock::now();
        baselineSeconds += std::chrono::duration<double>(relabelStart - baselineStart).count();
        state.ResumeTiming();
        VetuRestoreContext::getInstance().setLabelToDirRecursive(VetuRestoreInit::getInstance(), root, {});
        relabelSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - relabelStart).count();
        relabelCpu += processCpuSeconds() - relabelCpuStart;
        state.PauseTiming();
        truncate(paths::kLogFile, 0);
        state.ResumeTiming();
    }
    state.counters["baseline_ms"] = baselineSeconds * 1000 / static_cast<double>(state.iterations());
    state.counters["x_baseline"] = relabelSeconds / baselineSeconds;
    state.counters["x_read_write"] = relabelSeconds / readWriteSeconds;
    state.counters["x_baseline_cpu"] = relabelCpu / baselineCpu;
}

}  // namespace

BENCHMARK(BM_BaselineLsetxattrWalk)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TreeRelabel)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
