// Label print and parse, and the attribute round trip on tmpfs: a relabel run
// does these once per file.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "common/label_context.h"
#include "common/label_xattr.h"
#include "support/temp_tree.h"

namespace {

std::vector<LabelContext> sampleContexts()
{
    std::mt19937_64 rng(42);
    std::vector<LabelContext> contexts(256);
    for (auto& c : contexts) {
        c.sid = {rng(), rng(), rng()};
        c.oid = {rng(), rng(), rng()};
        c.create_oid = {rng(), rng(), rng()};
        c.tid = static_cast<uint32_t>(rng());
        c.inherit_flag = 5;
    }
    return contexts;
}

void BM_LabelPrint(benchmark::State& state)
{
    const auto contexts = sampleContexts();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(contextToString(contexts[i++ & 255]));
    }
}
BENCHMARK(BM_LabelPrint);

// What a relabel formats: into a buffer, no string.
void BM_LabelFormat(benchmark::State& state)
{
    const auto contexts = sampleContexts();
    char text[kLabelTextLength];
    size_t i = 0;
    for (auto _ : state) {
        formatContext(contexts[i++ & 255], text);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_LabelFormat);

void BM_LabelParse(benchmark::State& state)
{
    std::vector<std::string> texts;
    for (const auto& c : sampleContexts()) {
        texts.push_back(contextToString(c));
    }
    size_t i = 0;
    LabelContext out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(stringToContext(texts[i++ & 255], &out));
    }
}
BENCHMARK(BM_LabelParse);

// What a relabel reads of the old label.
void BM_LabelCreateOid(benchmark::State& state)
{
    std::vector<std::string> texts;
    for (const auto& c : sampleContexts()) {
        texts.push_back(contextToString(c));
    }
    size_t i = 0;
    vetu_id_t out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(stringToCreateOid(texts[i++ & 255], &out));
    }
}
BENCHMARK(BM_LabelCreateOid);

void BM_LabelXattrSetGet(benchmark::State& state)
{
    TempTree tree;
    const std::string file = tree.file("f");
    const auto contexts = sampleContexts();
    size_t i = 0;
    LabelContext out;
    for (auto _ : state) {
        setFileLabelToXattr(file.c_str(), &contexts[i++ & 255], 1);
        benchmark::DoNotOptimize(getFileLabelFromXattr(file.c_str(), &out, 1));
    }
}
BENCHMARK(BM_LabelXattrSetGet);

}  // namespace
