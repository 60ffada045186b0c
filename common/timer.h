// Scope timer: logs how long its scope took when it goes, on every way out.
#pragma once

#include <chrono>
#include <string>

class Timer {
public:
    explicit Timer(std::string name) : m_name(std::move(name)), m_start(std::chrono::system_clock::now()) {}
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    std::string m_name;
    std::chrono::system_clock::time_point m_start;
};
