#include "service/policy_dump_log.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <utility>

#include "common/logger.h"
#include "common/paths.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kKeptLogs = 5;
constexpr const char kHeader[] = "############# ";
constexpr const char kOriginPrefix[] = "origin_policy";
constexpr const char kExtendedPrefix[] = "extended_policy";

}  // namespace

std::string makePolicyLogFileName(const std::string& prefix)
{
    const int64_t nanos =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const time_t seconds = static_cast<time_t>(nanos / 1000000000);
    struct tm local {};
    char when[32] = "";
    if (localtime_r(&seconds, &local) != nullptr) {
        strftime(when, sizeof(when), "%Y%m%d_%H%M%S_", &local);
    }
    char suffix[8];
    snprintf(suffix, sizeof(suffix), "%03d", static_cast<int>(nanos % 1000));
    return std::string(paths::kLogDir) + "/" + prefix + "_" + when + suffix + ".log";
}

void sortPolicyLogsByTime(std::vector<std::string>& files)
{
    // Times are read once: a file that changes or goes meanwhile must not
    // make the ordering inconsistent.
    std::vector<std::pair<fs::file_time_type, std::string>> timed;
    timed.reserve(files.size());
    for (auto& file : files) {
        std::error_code error;
        const fs::file_time_type time = fs::last_write_time(file, error);
        timed.emplace_back(error ? fs::file_time_type::min() : time, std::move(file));
    }
    std::sort(timed.begin(), timed.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second > b.second;
    });
    files.clear();
    for (auto& entry : timed) {
        files.push_back(std::move(entry.second));
    }
}

void rotatePolicyLogs(const std::string& key)
{
    std::vector<std::string> logs;
    for (const auto& entry : fs::directory_iterator(paths::kLogDir)) {
        if (entry.path().filename().string().find(key) != std::string::npos) {
            logs.push_back(entry.path().string());
        }
    }
    sortPolicyLogsByTime(logs);
    for (size_t i = kKeptLogs; i < logs.size(); ++i) {
        fs::remove(logs[i]);
    }
}

namespace {

// A new dump log of one kind, after its older ones were cut to five.
std::ofstream openPolicyLog(const char* prefix)
{
    rotatePolicyLogs(std::string(prefix) + "_");
    return std::ofstream(makePolicyLogFileName(prefix), std::ios::binary | std::ios::trunc);
}

}  // namespace

void printOriginPolicy(const OriginPolicy& policy)
{
    std::ofstream out = openPolicyLog(kOriginPrefix);
    if (!out) {
        LOG_ERROR("Failed to create origin policy log");
        return;
    }
    std::string text;
    for (const auto& type : policy) {
        text += kHeader + type.first + ":\n";
        for (const auto& param : type.second) {
            text += param + "\n";
        }
    }
    out << text;
}

void printExtendedPolicy(const ExtendedPolicy& policy)
{
    std::ofstream out = openPolicyLog(kExtendedPrefix);
    if (!out) {
        LOG_ERROR("Failed to create extended policy log");
        return;
    }
    for (const auto& type : policy) {
        out << kHeader << type.first << "\n";
        for (const auto& entry : type.second) {
            std::string line = entry.first + " ";
            for (const auto& field : entry.second) {
                char value[24];
                snprintf(value, sizeof(value), "0x%016" PRIx64 " ", field.second);
                line += field.first + ": " + value;
            }
            line += "\n";
            out << line;
        }
    }
}

void PolicyDumpLogThread::start(OriginPolicy origin, ExtendedPolicy extended)
{
    join();
    m_thread = std::thread([origin = std::move(origin), extended = std::move(extended)]() {
        try {
            printOriginPolicy(origin);
            printExtendedPolicy(extended);
        } catch (...) {
            LOG_ERROR("Background logging thread exception");
        }
    });
}

void PolicyDumpLogThread::join()
{
    if (m_thread.joinable()) {
        m_thread.join();
    }
}
