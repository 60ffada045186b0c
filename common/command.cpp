#include "common/command.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

#include "common/logger.h"
#include "common/paths.h"

extern char** environ;

namespace {

constexpr size_t kLineBuffer = 1024;

// Lines as a 1024-byte fgets buffer cuts them, except that the newline right
// after a full chunk ends that chunk instead of making an empty line.
// Without split, whole lines.
std::vector<std::string> readLines(FILE* stream, bool split)
{
    std::vector<std::string> lines;
    std::string chunk;
    bool afterFullChunk = false;
    int c;
    while ((c = getc_unlocked(stream)) != EOF) {
        if (c == '\n') {
            if (!(chunk.empty() && afterFullChunk)) {
                lines.push_back(chunk);
            }
            chunk.clear();
            afterFullChunk = false;
            continue;
        }
        afterFullChunk = false;
        chunk.push_back(static_cast<char>(c));
        if (split && chunk.size() == kLineBuffer - 1) {
            lines.push_back(chunk);
            chunk.clear();
            afterFullChunk = true;
        }
    }
    if (!chunk.empty()) {
        lines.push_back(chunk);
    }
    return lines;
}

// Spawn attributes for a child that starts clean: no blocked signals and
// default dispositions (the daemon ignores SIGPIPE and blocks its stop signals).
class SpawnAttr {
public:
    SpawnAttr()
    {
        m_ok = posix_spawnattr_init(&m_attr) == 0;
        if (!m_ok) {
            return;
        }
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        // Its own process group, so that a stop ends it with whatever it started.
        m_ok = posix_spawnattr_setsigmask(&m_attr, &none) == 0 && posix_spawnattr_setsigdefault(&m_attr, &all) == 0 &&
               posix_spawnattr_setpgroup(&m_attr, 0) == 0 &&
               posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                     POSIX_SPAWN_SETPGROUP) == 0;
    }
    ~SpawnAttr()
    {
        posix_spawnattr_destroy(&m_attr);
    }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
    bool ok() const { return m_ok; }
    const posix_spawnattr_t* get() const { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
    bool m_ok = false;
};

class SpawnFileActions {
public:
    explicit SpawnFileActions(int writeFd)
    {
        m_ok = posix_spawn_file_actions_init(&m_actions) == 0;
        // dup2 onto 1 clears close-on-exec there; everything above 2 is
        // closed, whether or not whoever opened it asked for close-on-exec.
        m_ok = m_ok && posix_spawn_file_actions_adddup2(&m_actions, writeFd, STDOUT_FILENO) == 0 &&
               posix_spawn_file_actions_addclosefrom_np(&m_actions, STDERR_FILENO + 1) == 0;
    }
    ~SpawnFileActions()
    {
        posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    bool ok() const { return m_ok; }
    const posix_spawn_file_actions_t* get() const { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
    bool m_ok = false;
};

// The children running now; once ended, no more are started.
struct RunningChildren {
    std::mutex lock;
    std::set<pid_t> pids;
    bool ended = false;
};

RunningChildren& runningChildren()
{
    static RunningChildren children;
    return children;
}

// Leaves the child unreaped until it is out of the set, so that its pid
// cannot be reused for a process endRunningCommands would then kill.
int waitChild(pid_t pid, int& status)
{
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
        if (errno != EINTR) {
            break;
        }
    }
    {
        RunningChildren& children = runningChildren();
        std::lock_guard<std::mutex> guard(children.lock);
        children.pids.erase(pid);
    }
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

std::vector<std::string> executeCommand(const std::string& program, const std::vector<std::string>& args,
                                        bool wholeLines)
{
    if (program.empty()) {
        LOG_ERROR("Command path is empty.");
        return {};
    }
    // Everything the child needs exists before it does: posix_spawn runs no
    // allocator between the clone and the exec.
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        LOG_ERROR("pipe failed: %s", strerror(errno));
        return {};
    }
    SpawnAttr attr;
    SpawnFileActions actions(fds[1]);
    if (!attr.ok() || !actions.ok()) {
        LOG_ERROR("fork failed: %s", strerror(ENOMEM));
        close(fds[0]);
        close(fds[1]);
        return {};
    }
    pid_t pid = -1;
    int rc = ECANCELED;
    {
        RunningChildren& children = runningChildren();
        std::lock_guard<std::mutex> guard(children.lock);
        if (!children.ended) {
            rc = posix_spawn(&pid, program.c_str(), actions.get(), attr.get(), argv.data(), environ);
            if (rc == 0) {
                children.pids.insert(pid);
            }
        }
    }
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        if (rc == EAGAIN || rc == ENOMEM) {
            LOG_ERROR("fork failed: %s", strerror(rc));
        } else {
            // The program could not be started: the same as a child that exits 1.
            LOG_ERROR("Command failed [%d]: %s", 1, program.c_str());
        }
        return {};
    }

    std::vector<std::string> lines;
    FILE* stream = fdopen(fds[0], "r");
    if (stream == nullptr) {
        LOG_ERROR("fdopen failed: %s", strerror(errno));
        close(fds[0]);
    } else {
        lines = readLines(stream, !wholeLines);
        fclose(stream);
    }

    int status = 0;
    if (waitChild(pid, status) != 0) {
        LOG_ERROR("Command failed [%d]: %s", -1, program.c_str());
        return {};
    }
    if (stream == nullptr) {
        return {};
    }
    if (WIFSIGNALED(status)) {
        LOG_ERROR("Command killed by signal %d: %s", WTERMSIG(status), program.c_str());
        return {};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        LOG_ERROR("Command failed [%d]: %s", WIFEXITED(status) ? WEXITSTATUS(status) : -1, program.c_str());
        return {};
    }
    return lines;
}

void endRunningCommands()
{
    RunningChildren& children = runningChildren();
    std::lock_guard<std::mutex> guard(children.lock);
    children.ended = true;
    for (const pid_t pid : children.pids) {
        kill(-pid, SIGKILL);
    }
}

std::map<std::string, std::vector<int>> findProcessExeFile()
{
    std::map<std::string, std::vector<int>> result;
    DIR* dir = opendir(paths::kProcDir);
    if (dir == nullptr) {
        LOG_ERROR("open /proc failed.");
        return result;
    }
    while (const struct dirent* entry = readdir(dir)) {
        if (entry->d_type != DT_DIR) {
            continue;
        }
        const char* name = entry->d_name;
        if (*name == '\0' || strspn(name, "0123456789") != strlen(name)) {
            continue;
        }
        char link[64];
        snprintf(link, sizeof(link), paths::kProcExeFmt, atoi(name));
        char target[4096];
        // Kernel threads have no executable and a process may end meanwhile.
        const ssize_t n = readlink(link, target, sizeof(target));
        if (n <= 0 || static_cast<size_t>(n) >= sizeof(target)) {
            continue;
        }
        result[std::string(target, static_cast<size_t>(n))].push_back(atoi(name));
    }
    closedir(dir);
    return result;
}

std::vector<std::pair<std::string, std::string>> parseKernelCmdline()
{
    std::vector<std::pair<std::string, std::string>> pairs;
    std::ifstream in(paths::kProcCmdline);
    if (!in.is_open()) {
        LOG_ERROR("open /proc/cmdline failed.");
        return pairs;
    }
    std::string line;
    std::getline(in, line);
    size_t start = 0;
    while (true) {
        const size_t end = line.find(' ', start);
        const std::string token = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const size_t eq = token.find('=');
        if (eq == std::string::npos) {
            pairs.emplace_back(token, "");
        } else {
            pairs.emplace_back(token.substr(0, eq), token.substr(eq + 1));
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return pairs;
}
