// A full relabel run against the least any labeller must do: a bare parallel
// walk that writes one 170-byte value per entry with lsetxattr on 8 threads.
// Both work on the same generated tree of about 200k entries on tmpfs; the
// relabel reports its time as a multiple of the baseline's.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
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

namespace {

constexpr int kTopDirs = 200;
constexpr int kSubDirs = 10;
constexpr int kFilesPerDir = 99;  // 200 + 2000 + 198000 entries
constexpr int kBaselineThreads = 8;
constexpr const char kTreeRoot[] = "/tmp/vetu-bench-tree";
const std::string kValue(170, '0');

double g_baselineSeconds = 0;

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

void baselineWalker(DirectoryStack& stack, std::atomic<long>& labelled)
{
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

void BM_BaselineLsetxattrWalk(benchmark::State& state)
{
    const std::string& root = benchTree();
    long labelled = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        DirectoryStack stack(root);
        std::atomic<long> count{0};
        std::vector<std::thread> walkers;
        for (int i = 0; i < kBaselineThreads; ++i) {
            walkers.emplace_back(baselineWalker, std::ref(stack), std::ref(count));
        }
        for (auto& walker : walkers) {
            walker.join();
        }
        labelled = count;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    g_baselineSeconds = elapsed.count() / static_cast<double>(state.iterations());
    state.counters["entries"] = static_cast<double>(labelled);
}

}  // namespace

BENCHMARK(BM_BaselineLsetxattrWalk)->Unit(benchmark::kMillisecond)->UseRealTime();
