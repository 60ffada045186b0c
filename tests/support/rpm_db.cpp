#include "support/rpm_db.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "support/run_process.h"

namespace {

constexpr double kRpmTimeLimit = 60;

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

void check(const ProcessResult& result, const std::string& what)
{
    if (!result.started || result.timedOut || result.signal != 0 || result.status != 0) {
        throw std::runtime_error(what + " failed (" + describe(result) + "):\n" + result.output);
    }
}

std::string specFor(const TestPackage& pkg)
{
    std::string recipe = "Name: " + pkg.name + "\nVersion: " + pkg.version + "\nRelease: " + pkg.release +
                         "\nSummary: test package\nLicense: MIT\nBuildArch: noarch\n%description\ntest package\n%install\n";
    for (const auto& dir : pkg.dirs) {
        recipe += "mkdir -p %{buildroot}" + shellQuote(dir) + "\n";
    }
    for (const auto& file : pkg.files) {
        const std::string parent = std::filesystem::path(file).parent_path().string();
        recipe += "mkdir -p %{buildroot}" + shellQuote(parent) + "\n";
        recipe += "touch %{buildroot}" + shellQuote(file) + "\n";
    }
    recipe += "%files\n";
    for (const auto& dir : pkg.dirs) {
        recipe += "%dir \"" + dir + "\"\n";
    }
    for (const auto& file : pkg.files) {
        recipe += "\"" + file + "\"\n";
    }
    return recipe;
}

}  // namespace

TestRpmDb::TestRpmDb()
{
    char templ[] = "/tmp/vetu-rpmdb-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    m_root = templ;
    m_home = m_root + "/home";
    std::filesystem::create_directories(m_home);
    const char* old = getenv("HOME");  // the sandbox always sets one
    m_oldHome = old != nullptr ? old : "/";
    setenv("HOME", m_home.c_str(), 1);
}

TestRpmDb::~TestRpmDb()
{
    setenv("HOME", m_oldHome.c_str(), 1);
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
}

void TestRpmDb::add(const std::vector<TestPackage>& packages)
{
    std::vector<std::string> install = {"/usr/bin/rpm", "-i", "--justdb", "--nodeps", "--noscripts"};
    for (const auto& pkg : packages) {
        const std::string top = m_root + "/build" + std::to_string(m_specCount++);
        std::filesystem::create_directories(top);
        const std::string specPath = top + "/package.recipe";
        std::ofstream(specPath) << specFor(pkg);
        check(runProcess({"/usr/bin/rpmbuild", "--quiet", "--define", "_topdir " + top, "-bb", specPath},
                         kRpmTimeLimit),
              "rpmbuild of " + pkg.name);
        install.push_back(top + "/RPMS/noarch/" + pkg.name + "-" + pkg.version + "-" + pkg.release +
                          ".noarch.rpm");
    }
    if (!packages.empty()) {
        check(runProcess(install, kRpmTimeLimit), "rpm -i");
    }
}
