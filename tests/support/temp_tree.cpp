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
[[noreturn]] void fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}
}  // namespace

TempTree::TempTree()
{
    char templ[] = "/tmp/vetu-tree-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        fail("mkdtemp");
    }
    m_root = templ;
}

TempTree::~TempTree()
{
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
}

std::string TempTree::path(const std::string& rel) const
{
    return rel.empty() ? m_root : m_root + "/" + rel;
}

std::string TempTree::makeParents(const std::string& rel) const
{
    const std::string abs = path(rel);
    std::filesystem::create_directories(std::filesystem::path(abs).parent_path());
    return abs;
}

std::string TempTree::dir(const std::string& rel, unsigned mode)
{
    const std::string abs = makeParents(rel);
    if (mkdir(abs.c_str(), mode) != 0 && errno != EEXIST) {
        fail("mkdir " + abs);
    }
    chmod(abs.c_str(), mode);
    return abs;
}

std::string TempTree::file(const std::string& rel, const std::string& content, unsigned mode)
{
    const std::string abs = makeParents(rel);
    if (!(std::ofstream(abs, std::ios::binary | std::ios::trunc) << content)) {
        fail("create " + abs);
    }
    chmod(abs.c_str(), mode);
    return abs;
}

std::string TempTree::symlink(const std::string& rel, const std::string& target)
{
    const std::string abs = makeParents(rel);
    if (::symlink(target.c_str(), abs.c_str()) != 0) {
        fail("symlink " + abs);
    }
    return abs;
}

std::string TempTree::fifo(const std::string& rel)
{
    const std::string abs = makeParents(rel);
    if (mkfifo(abs.c_str(), 0644) != 0) {
        fail("mkfifo " + abs);
    }
    return abs;
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
    if (!bound) {
        fail("bind " + abs);
    }
    return abs;
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
