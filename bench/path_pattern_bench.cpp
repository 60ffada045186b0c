// The pattern walk of the user-set methods against glob(3) on the same
// pattern and tree, call by call in one run: a wide tree (20^4 files under
// four wildcard levels) and deep ones (a wildcard level per directory, 500
// and 2000 deep). The walk's figure includes the path safety check of each
// match; the second floor is glob(3) with that same check.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "bench/interleaved_floor.h"
#include "common/path_pattern.h"
#include "support/temp_tree.h"

namespace {

struct PatternTree {
    TempTree tree;
    std::string pattern;
    size_t matches = 0;
};

// kind 0: the wide tree; else a deep one of that depth.
std::unique_ptr<PatternTree> makeTree(int64_t kind)
{
    auto t = std::make_unique<PatternTree>();
    if (kind == 0) {
        for (int a = 0; a < 20; ++a) {
            for (int b = 0; b < 20; ++b) {
                for (int c = 0; c < 20; ++c) {
                    const std::string dir =
                        "w/" + std::to_string(a) + "/" + std::to_string(b) + "/" + std::to_string(c) + "/";
                    for (int f = 0; f < 20; ++f) {
                        t->tree.file(dir + "f" + std::to_string(f));
                    }
                }
            }
        }
        t->pattern = t->tree.path("w/*/*/*/*");
        t->matches = 20 * 20 * 20 * 20;
        return t;
    }
    // Made a level at a time from the one above: a path this long is too
    // long for the library's helpers.
    int fd = open(t->tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    t->pattern = t->tree.root();
    for (int64_t i = 0; i < kind && fd >= 0; ++i) {
        mkdirat(fd, "d", 0755);
        const int below = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = below;
        t->pattern += "/*";
    }
    close(openat(fd, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    close(fd);
    t->pattern += "/*";
    t->matches = 1;
    return t;
}

const PatternTree& treeOf(int64_t kind)
{
    static std::map<int64_t, std::unique_ptr<PatternTree>> made;
    auto& slot = made[kind];
    if (!slot) {
        slot = makeTree(kind);
    }
    return *slot;
}

std::string expect(size_t got, size_t want)
{
    return got == want ? "" : "found " + std::to_string(got) + " of " + std::to_string(want);
}

std::string walk(const PatternTree& t)
{
    size_t found = 0;
    forEachPatternMatch(t.pattern, SIZE_MAX, [&found](const std::string&) { return ++found, true; });
    return expect(found, t.matches);
}

std::string plainGlob(const PatternTree& t)
{
    glob_t result {};
    const int rc = glob(t.pattern.c_str(), GLOB_TILDE, nullptr, &result);
    const size_t found = rc == 0 ? result.gl_pathc : 0;
    globfree(&result);
    return expect(found, t.matches);
}

// Arg: 0 for the wide tree, else the depth of a deep one.
void BM_PatternWalkAgainstGlob(benchmark::State& state)
{
    const PatternTree& t = treeOf(state.range(0));
    measureAgainstFloor(state, [&t] { return walk(t); }, [&t] { return plainGlob(t); });
}
BENCHMARK(BM_PatternWalkAgainstGlob)->Arg(0)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PatternWalkAgainstCheckedGlob(benchmark::State& state)
{
    const PatternTree& t = treeOf(state.range(0));
    measureAgainstFloor(
        state, [&t] { return walk(t); }, [&t] { return expect(searchFilesByPattern(t.pattern).size(), t.matches); });
}
BENCHMARK(BM_PatternWalkAgainstCheckedGlob)->Arg(0)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
