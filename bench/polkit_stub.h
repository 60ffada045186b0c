// A polkit authority for the benchmarks (the program polkit_stub_main.c):
// it admits every question at once, and answers Ping, so that a benchmark
// measures our side of the question rather than polkitd's rules. Construct
// it after the PrivateBus.
#pragma once

#include <string>

#include "support/run_process.h"

class PolkitStub {
public:
    explicit PolkitStub(double timeoutSeconds = 15);
    ~PolkitStub();
    PolkitStub(const PolkitStub&) = delete;
    PolkitStub& operator=(const PolkitStub&) = delete;

    bool ok() const { return m_ready; }  // owns its name

private:
    ChildProcess m_stub;
    bool m_ready = false;
    std::string m_answerPath;
};
