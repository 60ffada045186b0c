#include "support/temp_tree.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {
// The path when ok, else an exception naming what failed.
std::string checked(bool ok, const std::string& what, const std::string& path)
{
    if (!ok) {
        throw std::system_error(errno, std::generic_category(), what + " " + path);
    }
    return path;
}
}  // namespace

TempTree::TempTree()
{
    char templ[] = "/tmp/vetu-tree-XXXXXX";
    const bool made = mkdtemp(templ) != nullptr;
    m_root = checked(made, "mkdtemp", templ);
}

TempTree::~TempTree()
{
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
}

std::string TempTree::path(const std::string& rel) const { return rel.empty() ? m_root : m_root + "/" + rel; }

std::string TempTree::makeParents(const std::string& rel) const
{
    const std::string abs = path(rel);
    std::filesystem::create_directories(std::filesystem::path(abs).parent_path());
    return abs;
}

std::string TempTree::dir(const std::string& rel, unsigned mode)
{
    const std::string abs = makeParents(rel);
    checked(mkdir(abs.c_str(), mode) == 0 || errno == EEXIST, "mkdir", abs);
    return checked(chmod(abs.c_str(), mode) == 0, "chmod", abs);
}

std::string TempTree::file(const std::string& rel, const std::string& content, unsigned mode)
{
    const std::string abs = makeParents(rel);
    checked(static_cast<bool>(std::ofstream(abs, std::ios::binary | std::ios::trunc) << content), "create", abs);
    return checked(chmod(abs.c_str(), mode) == 0, "chmod", abs);
}

std::string TempTree::symlink(const std::string& rel, const std::string& target)
{
    const std::string abs = makeParents(rel);
    return checked(::symlink(target.c_str(), abs.c_str()) == 0, "symlink", abs);
}

std::string TempTree::fifo(const std::string& rel)
{
    const std::string abs = makeParents(rel);
    return checked(mkfifo(abs.c_str(), 0644) == 0, "mkfifo", abs);
}

std::string TempTree::socket(const std::string& rel)
{
    const std::string abs = makeParents(rel);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool bound = abs.size() < sizeof(addr.sun_path) && fd >= 0 &&
                       (memcpy(addr.sun_path, abs.c_str(), abs.size() + 1),
                        bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0);
    close(fd);
    return checked(bound, "bind", abs);
}

std::string readXattr(const std::string& path, const char* name)
{
    char buf[4096];
    const ssize_t n = lgetxattr(path.c_str(), name, buf, sizeof(buf));
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

bool pathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
