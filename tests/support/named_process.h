// A real child process under a name of the test's choosing (prctl), so that
// /proc/<pid>/comm reads as planted. A stopped one waits until it is killed;
// a zombie keeps its name but has no executable any more.
#pragma once

#include <sys/types.h>

#include <string>

class NamedProcess {
public:
    enum class State { Stopped, Zombie };

    // Create these before the test starts threads of its own.
    explicit NamedProcess(const std::string& name, State state = State::Stopped);
    ~NamedProcess();
    NamedProcess(const NamedProcess&) = delete;
    NamedProcess& operator=(const NamedProcess&) = delete;

    // -1 when the child could not be made.
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
};
