#include "support/named_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

NamedProcess::NamedProcess(const std::string& name, State state) : m_pid(fork())
{
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        prctl(PR_SET_NAME, name.c_str());
        if (state == State::Stopped) {
            raise(SIGSTOP);
        }
        _exit(0);
    }
    if (m_pid < 0) {
        return;
    }
    siginfo_t info{};
    const int options = state == State::Stopped ? WSTOPPED | WNOWAIT : WEXITED | WNOWAIT;
    if (waitid(P_PID, static_cast<id_t>(m_pid), &info, options) != 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

NamedProcess::~NamedProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}
