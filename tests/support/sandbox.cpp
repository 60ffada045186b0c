#include "support/sandbox.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "support/temp_tree.h"

namespace sandbox {
namespace {

int g_overlayCount = 0;
constexpr const char kStaging[] = "/tmp/.sandbox";

bool makeDirs(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::create_directories(path, ec) || !ec;
}

// Lays a writable overlay (upper layer on the staging tmpfs) over dir.
bool overlay(const std::string& dir)
{
    const std::string base = std::string(kStaging) + "/ov" + std::to_string(g_overlayCount++);
    const std::string options = "lowerdir=" + dir + ",upperdir=" + base + "/u,workdir=" + base + "/w";
    return makeDirs(base + "/u") && makeDirs(base + "/w") &&
           mount("overlay", dir.c_str(), "overlay", 0, options.c_str()) == 0;
}

// Aborts the process unless ok: a test outside the sandbox could touch the real system.
void require(bool ok, const char* what, const std::string& path)
{
    if (!ok) {
        fprintf(stderr, "sandbox: %s %s: %s\n", what, path.c_str(), strerror(errno));
        abort();
    }
}

}  // namespace

bool mountTmpfs(const std::string& path)
{
    if (!pathExists(path)) {
        std::string ancestor = path;
        do {
            ancestor = ancestor.substr(0, ancestor.rfind('/'));
        } while (!ancestor.empty() && !pathExists(ancestor));
        if (ancestor.empty() || !overlay(ancestor) || !makeDirs(path)) {
            return false;
        }
    }
    return mount("tmpfs", path.c_str(), "tmpfs", 0, "mode=0755") == 0;
}

bool mountPrivateDev()
{
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
        return false;
    }
    const std::pair<const char*, dev_t> nodes[] = {
        {"/dev/null", makedev(1, 3)},   {"/dev/zero", makedev(1, 5)},    {"/dev/full", makedev(1, 7)},
        {"/dev/random", makedev(1, 8)}, {"/dev/urandom", makedev(1, 9)}, {"/dev/tty", makedev(5, 0)}};
    for (const auto& [name, device] : nodes) {
        if (mknod(name, S_IFCHR | 0666, device) != 0 || chmod(name, 0666) != 0) {
            return false;
        }
    }
    const std::pair<const char*, const char*> links[] = {
        {"/dev/fd", "/proc/self/fd"}, {"/dev/stdin", "/proc/self/fd/0"},
        {"/dev/stdout", "/proc/self/fd/1"}, {"/dev/stderr", "/proc/self/fd/2"}};
    for (const auto& [link, target] : links) {
        if (symlink(target, link) != 0) {
            return false;
        }
    }
    return mkdir("/dev/shm", 01777) == 0 && chmod("/dev/shm", 01777) == 0;
}

bool mountProcAttr(int pid)
{
    const std::string attr = "/proc/" + std::to_string(pid) + "/attr";
    return mount("tmpfs", attr.c_str(), "tmpfs", 0, "mode=0755") == 0 && mkdir((attr + "/vetu").c_str(), 0755) == 0;
}

void enter()
{
    require(unshare(CLONE_NEWNS) == 0, "unshare", "mount namespace");
    require(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make private", "/");
    // /tmp first: it holds the overlay layers of the others. A checkout or
    // build directory under /tmp (the test binary, its working directory, the
    // program it runs) stays visible through a bind mount from the old /tmp.
    std::set<std::string> keep;
    std::error_code ignored;
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ignored);
    for (const std::string& path : {exe, std::filesystem::current_path(ignored).string()}) {
        if (path.compare(0, 5, "/tmp/") == 0) {
            keep.insert(path.substr(5, path.find('/', 5) - 5));
        }
    }
    const int oldTmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    require(oldTmp >= 0, "open", "/tmp");
    require(mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0, "mount tmpfs on", "/tmp");
    for (const auto& name : keep) {
        const std::string from = "/proc/self/fd/" + std::to_string(oldTmp) + "/" + name;
        const std::string to = "/tmp/" + name;
        require(mkdir(to.c_str(), 0755) == 0 && mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0,
                "keep visible", to);
    }
    close(oldTmp);
    for (const char* path : {"/etc/vetu", "/var/log/vetu", "/run", "/sys/kernel/security"}) {
        require(mountTmpfs(path), "mount tmpfs on", path);
    }
    // rpm keeps its database under HOME: give every test a fresh, empty one.
    const std::string home = std::string(kStaging) + "/home";
    require(makeDirs(home) && setenv("HOME", home.c_str(), 1) == 0, "make HOME", home);
}

}  // namespace sandbox
