// Dump logs of each policy call under the log directory: the policy received
// and the policy returned, each kept to the five newest of its kind before a
// new one is written.
#pragma once

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "service/policy_workers.h"

// Type name -> parameters, as received.
using OriginPolicy = std::map<std::string, std::vector<std::string>>;
// Type name -> its collection map, as returned.
using ExtendedPolicy = std::map<std::string, CollectionMap>;

// The log directory, the prefix, "_", the local time "%Y%m%d_%H%M%S_", the
// clock's nanoseconds modulo 1000 in three digits, and ".log".
std::string makePolicyLogFileName(const std::string& prefix);
// Newest last write first; equal times by name, newest name first.
void sortPolicyLogsByTime(std::vector<std::string>& files);
// Removes all but the five newest entries whose name contains key. Throws
// std::filesystem::filesystem_error when the directory cannot be listed or
// an entry cannot be removed.
void rotatePolicyLogs(const std::string& key);
void printOriginPolicy(const OriginPolicy& policy);
void printExtendedPolicy(const ExtendedPolicy& policy);

// The background thread that writes a call's two dump logs. It is joined
// before the next call's logs are started and when the owner goes, so two
// never rotate the directory at once and none outlives its owner.
class PolicyDumpLogThread {
public:
    PolicyDumpLogThread() = default;
    ~PolicyDumpLogThread() { join(); }
    PolicyDumpLogThread(const PolicyDumpLogThread&) = delete;
    PolicyDumpLogThread& operator=(const PolicyDumpLogThread&) = delete;

    // Waits for the previous writer, then starts one with these copies.
    void start(OriginPolicy origin, ExtendedPolicy extended);
    void join();

private:
    std::thread m_thread;
};
