#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/command.h"

using Strings = std::vector<std::string>;

namespace {

Strings sh(const std::string& script)
{
    return executeCommand("/bin/sh", {"-c", script});
}

}  // namespace

// Lines longer than the 1024-byte buffer are cut into pieces (one filling
// the buffer exactly leaves no empty line behind); output far beyond what a
// pipe holds is read to the end. Failures, a death by signal included, give
// no lines, not the partial output.
TEST(ExecuteCommandTest, OutputLinesAndFailures)
{
    const std::string x2000 = "head -c 2000 /dev/zero | tr '\\0' x; echo; echo end";
    const std::string y1023 = "head -c 1023 /dev/zero | tr '\\0' y; echo; echo end";
    const std::tuple<std::string, Strings, Strings> cases[] = {
        {"/bin/sh", {"-c", "printf 'a\\nb'"}, {"a", "b"}},
        {"/bin/sh", {"-c", "printf '\\nx\\n\\n'"}, {"", "x", ""}},
        {"/bin/sh", {"-c", "true"}, {}},
        {"/bin/sh", {"-c", x2000}, {std::string(1023, 'x'), std::string(977, 'x'), "end"}},
        {"/bin/sh", {"-c", y1023}, {std::string(1023, 'y'), "end"}},
        {"/bin/echo", {"one two", "three"}, {"one two three"}},
        {"", {}, {}}, {"/bin/sh", {"-c", "echo a; exit 2"}, {}}, {"/bin/sh", {"-c", "echo a; kill -9 $$"}, {}},
        {"no-such-program", {}, {}}, {"/etc/passwd", {}, {}},
    };
    for (const auto& [program, args, want] : cases) {
        EXPECT_EQ(executeCommand(program, args), want) << program << " " << (args.empty() ? "" : args.back());
    }
    const Strings big = sh("seq 1 200000");
    ASSERT_EQ(big.size(), 200000u);
    EXPECT_EQ(big.back(), "200000");
}

// Commands from many threads at once: each child holds only its own pipe
// (as many as the runner hands down), and every call gets its own output.
// Kernel threads (kthreadd is pid 2) have no executable and are skipped.
TEST(ExecuteCommandTest, ConcurrentCommandsDoNotShareDescriptors)
{
    const auto pipesOf = [](const std::string& marker) {
        const Strings lines = sh("echo " + marker + "; ls -l /proc/$$/fd");
        const auto pipes = std::count_if(lines.begin(), lines.end(),
                                         [](const std::string& l) { return l.find("pipe:") != std::string::npos; });
        return lines.empty() || lines[0] != marker ? -1 : pipes;
    };
    const auto alone = pipesOf("x");
    ASSERT_GE(alone, 1);
    std::atomic<int> bad {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                bad += pipesOf(std::to_string(t) + "-" + std::to_string(i)) != alone;
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(bad.load(), 0);
    const auto map = findProcessExeFile();
    const auto it = map.find(std::filesystem::read_symlink("/proc/self/exe"));
    ASSERT_NE(it, map.end());
    EXPECT_EQ(std::count(it->second.begin(), it->second.end(), static_cast<int>(getpid())), 1);
    for (const auto& [exe, pids] : map) {
        EXPECT_TRUE(!exe.empty() && std::count(pids.begin(), pids.end(), 2) == 0) << exe;
    }
}
