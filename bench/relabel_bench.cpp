// A full relabel run against the least any labeller must do, on the same
// generated tmpfs tree and the same number of threads: a parallel walk that
// writes one 170-byte value per entry (write-only), and one that also reads
// the old value first (the floor: a relabel must read the old label to keep
// its create_oid). Each round runs all three, in rotating order; the
// counters are medians over the rounds. A second benchmark measures the
// peak memory of a run in a process of its own at two tree sizes.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "common/logger.h"
#include "common/paths.h"
#include "ratio_counters.h"
#include "relabel_child.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"
#include "support/sandbox.h"

namespace {

// A top directory holds kSubDirs directories of kFilesPerDir files: 1001
// entries, so 200 of them make about 200k entries and 2000 about 2M.
constexpr int kSubDirs = 10;
constexpr int kFilesPerDir = 99;
constexpr int kSmallTree = 200;
constexpr int kLargeTree = 2000;
constexpr int kGeneratorThreads = 4;
constexpr int kRounds = 7;
constexpr int kRssRounds = 3;
constexpr const char kTreeRoot[] = "/tmp/vetu-bench-tree";
// A well-formed label, so that the relabel that follows a baseline pass reads
// labels as it would on a labelled system.
const std::string kValue = "0000000000000001-0000000000000002-0000000000000003:00000004:"
                           "0000000000000005-0000000000000006-0000000000000007:00000005:"
                           "0000000000000000-0000000000000000-0000000000000000";

// The relabel run's consumer count, used by the baselines too.
unsigned walkerCount()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 2 : cores;
}

void makeDir(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        throw std::runtime_error("mkdir " + path);
    }
}

void makeTopDir(const std::string& topDir)
{
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

// The tree of topDirs top directories, generated once per process.
const std::string& benchTree(int topDirs)
{
    static std::map<int, std::string> trees;
    auto& root = trees[topDirs];
    if (root.empty()) {
        const std::string path = std::string(kTreeRoot) + "-" + std::to_string(topDirs);
        makeDir(path);
        std::atomic<int> next{0};
        std::vector<std::thread> generators;
        for (int i = 0; i < kGeneratorThreads; ++i) {
            generators.emplace_back([&] {
                for (int top; (top = next++) < topDirs;) {
                    makeTopDir(path + "/d" + std::to_string(top));
                }
            });
        }
        for (auto& generator : generators) {
            generator.join();
        }
        root = path;
    }
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

double seconds(const timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// CPU seconds (user and system) the whole process has used so far; user
// holds the user part.
double processCpuSeconds(double* user = nullptr)
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    if (user != nullptr) {
        *user = seconds(usage.ru_utime);
    }
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One baseline pass; the number of entries written.
long runBaseline(const std::string& root, bool readFirst)
{
    DirectoryStack stack(root);
    std::atomic<long> count{0};
    std::vector<std::thread> walkers;
    for (unsigned i = 0; i < walkerCount(); ++i) {
        walkers.emplace_back(baselineWalker, std::ref(stack), std::ref(count), readFirst);
    }
    for (auto& walker : walkers) {
        walker.join();
    }
    return count;
}

void prepareRelabel()
{
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
}

void runRelabel(const std::string& root)
{
    VetuRestoreContext::getInstance().setLabelToDirRecursive(VetuRestoreInit::getInstance(), root, {});
}

struct Cost {
    double cpu = 0;
    double user = 0;
    double wall = 0;
};

Cost measure(const std::function<void()>& run)
{
    double userStart = 0;
    double userEnd = 0;
    const double cpuStart = processCpuSeconds(&userStart);
    const auto wallStart = std::chrono::steady_clock::now();
    run();
    const double cpuEnd = processCpuSeconds(&userEnd);
    return {cpuEnd - cpuStart, userEnd - userStart,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count()};
}

void BM_BaselineLsetxattrWalk(benchmark::State& state)
{
    const std::string& root = benchTree(kSmallTree);
    long labelled = 0;
    for (auto _ : state) {
        labelled = runBaseline(root, false);
    }
    state.counters["entries"] = static_cast<double>(labelled);
}

// Rounds of a full run with an empty, ready store and both baselines over the
// 200k tree. Argument 0 logs at WARN, 1 at INFO (one line per labelled path).
// Counters: medians of each side's CPU (user+sys of the whole process) and
// wall time, and medians of the per-round ratios of the relabel to the floor
// (x_floor_*, with their spread over the rounds) and to the write-only walk
// (x_write_*).
void BM_TreeRelabel(benchmark::State& state)
{
    const std::string& root = benchTree(kSmallTree);
    prepareRelabel();
    const bool info = state.range(0) == 1;
    log4cpp::Category::getRoot().setPriority(info ? log4cpp::Priority::INFO : log4cpp::Priority::WARN);
    state.SetLabel(info ? "INFO" : "WARN");
    std::vector<Cost> writeOnly;
    std::vector<Cost> floor;
    std::vector<Cost> relabel;
    const double loadStart = loadAverage();
    for (auto _ : state) {
        const std::function<void()> steps[] = {
            [&] { writeOnly.push_back(measure([&] { runBaseline(root, false); })); },
            [&] { floor.push_back(measure([&] { runBaseline(root, true); })); },
            [&] { relabel.push_back(measure([&] { runRelabel(root); })); },
        };
        const size_t first = relabel.size();
        for (size_t i = 0; i < 3; ++i) {
            steps[(first + i) % 3]();
        }
        state.PauseTiming();
        truncate(paths::kLogFile, 0);
        state.ResumeTiming();
    }
    const auto pick = [](const std::vector<Cost>& costs, double Cost::*field) {
        std::vector<double> values;
        for (const auto& cost : costs) {
            values.push_back(cost.*field);
        }
        return values;
    };
    const auto ratios = [&](const std::vector<Cost>& base, double Cost::*field) {
        std::vector<double> values;
        for (size_t i = 0; i < relabel.size(); ++i) {
            values.push_back(relabel[i].*field / base[i].*field);
        }
        return values;
    };
    state.counters["relabel_cpu_ms"] = median(pick(relabel, &Cost::cpu)) * 1000;
    state.counters["floor_cpu_ms"] = median(pick(floor, &Cost::cpu)) * 1000;
    state.counters["write_cpu_ms"] = median(pick(writeOnly, &Cost::cpu)) * 1000;
    state.counters["relabel_user_ms"] = median(pick(relabel, &Cost::user)) * 1000;
    state.counters["floor_user_ms"] = median(pick(floor, &Cost::user)) * 1000;
    state.counters["relabel_wall_ms"] = median(pick(relabel, &Cost::wall)) * 1000;
    state.counters["floor_wall_ms"] = median(pick(floor, &Cost::wall)) * 1000;
    reportRatio(state, "x_floor_cpu", ratios(floor, &Cost::cpu));
    reportRatio(state, "x_floor_wall", ratios(floor, &Cost::wall));
    state.counters["x_write_cpu"] = median(ratios(writeOnly, &Cost::cpu));
    state.counters["x_write_wall"] = median(ratios(writeOnly, &Cost::wall));
    state.counters["load"] = (loadStart + loadAverage()) / 2;
}

constexpr const char kPeakLinePrefix[] = "peak_rss_kb ";

// The process's peak resident size since its exec, in KiB; -1 if unknown.
// (ru_maxrss of a child would include what its parent held at the fork.)
long ownPeakRssKiB()
{
    FILE* status = fopen("/proc/self/status", "re");
    long peak = -1;
    if (status != nullptr) {
        char line[256];
        while (fgets(line, sizeof(line), status) != nullptr) {
            if (sscanf(line, "VmHWM: %ld kB", &peak) == 1) {
                break;
            }
        }
        fclose(status);
    }
    return peak;
}

// Peak resident memory (MiB) of one run in a fresh process.
double childPeakRssMiB(const std::string& root)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork");
    }
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl("/proc/self/exe", "vetu_bench", kRelabelChildOption, root.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof(buffer))) != 0;) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        text.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    close(out[0]);
    int status = 0;
    const size_t at = text.find(kPeakLinePrefix);
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        at == std::string::npos) {
        throw std::runtime_error("relabel child failed");
    }
    return std::strtod(text.c_str() + at + sizeof(kPeakLinePrefix) - 1, nullptr) / 1024;
}

// Argument: top directories of the tree (200: ~200k entries, 2000: ~2M).
// peak_rss_mb is the median over the rounds of a full run's peak; idle_rss_mb
// that of a run over an empty directory, the process's own size.
void BM_RelabelPeakRss(benchmark::State& state)
{
    const std::string& root = benchTree(static_cast<int>(state.range(0)));
    prepareRelabel();
    const std::string empty = std::string(kTreeRoot) + "-empty";
    makeDir(empty);
    std::vector<double> peaks;
    std::vector<double> idle;
    for (auto _ : state) {
        for (int i = 0; i < kRssRounds; ++i) {
            peaks.push_back(childPeakRssMiB(root));
            idle.push_back(childPeakRssMiB(empty));
        }
    }
    state.counters["entries_k"] = static_cast<double>(state.range(0)) * (1 + kSubDirs * (1 + kFilesPerDir)) / 1000;
    state.counters["peak_rss_mb"] = median(peaks);
    state.counters["idle_rss_mb"] = median(idle);
}

}  // namespace

int relabelChildMain(const char* root)
{
    VetuRestoreInit::getInstance().m_isInitialized = true;
    Logger::getInstance();
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::WARN);
    runRelabel(root);
    printf("%s%ld\n", kPeakLinePrefix, ownPeakRssKiB());
    return 0;
}

BENCHMARK(BM_BaselineLsetxattrWalk)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TreeRelabel)->Arg(0)->Arg(1)->Iterations(kRounds)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RelabelPeakRss)->Arg(kSmallTree)->Arg(kLargeTree)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
