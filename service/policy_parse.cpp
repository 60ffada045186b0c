#include "service/policy_parse.h"

#include <dbus-c++/error.h>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_safety.h"
#include "restore/vetu_restore_context.h"
#include "service/policy_finalize.h"
#include "store/vetu_restore_init.h"

namespace {

enum class WorkerKind { Files, Pkgs, RecurDirs };

struct PolicyType {
    int number;
    WorkerKind kind;
};

const std::map<std::string, PolicyType>& policyTypes()
{
    static const std::map<std::string, PolicyType> types{
        {"object_file", {kObjectFile, WorkerKind::Files}},
        {"object_dir", {kObjectDir, WorkerKind::Files}},
        {"object_pkg", {kObjectPkg, WorkerKind::Pkgs}},
        {"object_lnkfile", {kObjectLnkfile, WorkerKind::Files}},
        {"object_recurfile", {kObjectRecurfile, WorkerKind::RecurDirs}},
        {"subject_file", {kSubjectFile, WorkerKind::Files}},
        {"subject_dir", {kSubjectDir, WorkerKind::Files}},
        {"subject_pkg", {kSubjectPkg, WorkerKind::Pkgs}},
        {"subject_lnkfile", {kSubjectLnkfile, WorkerKind::Files}},
        {"subject_recurfile", {kSubjectRecurfile, WorkerKind::RecurDirs}},
    };
    return types;
}

[[noreturn]] void refuse(const char* message)
{
    throw DBus::Error(kPolicyErrorName, message);
}

// Worker threads of one phase, each running one worker; joined on every way
// out, also when starting a thread throws. A worker's exception is logged
// and marks the phase failed.
class Phase {
public:
    explicit Phase(std::atomic<bool>& failed) : m_failed(failed) {}

    void start(std::function<void()> worker)
    {
        m_threads.emplace_back([this, worker = std::move(worker)]() {
            try {
                worker();
            } catch (const std::exception& e) {
                LOG_ERROR("Worker thread exception: %s", logSafe(e.what()).c_str());
                m_failed.exchange(true);
            } catch (...) {
                LOG_ERROR("Worker thread unknown exception");
                m_failed.exchange(true);
            }
        });
    }
    void join() { m_joiner.joinAll(); }

private:
    std::atomic<bool>& m_failed;
    std::vector<std::thread> m_threads;
    ThreadJoiner m_joiner{m_threads};
};

// The 17 maps a policy replaces, as pointers to members.
template <class Visit>
void visitPolicyMaps(Visit&& visit)
{
    visit(&IdentityMaps::identityDataFileSid);
    visit(&IdentityMaps::identityDataFileOid);
    visit(&IdentityMaps::identityDataDirSid);
    visit(&IdentityMaps::identityDataDirOid);
    visit(&IdentityMaps::identityDataLnkfileSid);
    visit(&IdentityMaps::identityDataLnkfileOid);
    visit(&IdentityMaps::identityDataFileWildcardSid);
    visit(&IdentityMaps::identityDataFileWildcardOid);
    visit(&IdentityMaps::identityDataDirWildcardSid);
    visit(&IdentityMaps::identityDataDirWildcardOid);
    visit(&IdentityMaps::identityDataLinkWildcardSid);
    visit(&IdentityMaps::identityDataLinkWildcardOid);
    visit(&IdentityMaps::identityDataDirSpathid);
    visit(&IdentityMaps::identityDataDirOpathid);
    visit(&IdentityMaps::identityDataDirWSpathid);
    visit(&IdentityMaps::identityDataDirWOpathid);
    visit(&IdentityMaps::specialFsFileOid);
}

void restoreSnapshot(const std::unique_ptr<IdentityMaps>& snapshot, IdentityMaps& maps)
{
    if (snapshot) {
        maps = *snapshot;
    }
}

}  // namespace

void validatePolicyParams(const OriginPolicy& policy)
{
    if (policy.size() > kMaxPolicyEntries) {
        LOG_ERROR("validatePolicyParams failed: policy map too large (%zu > %d)", policy.size(),
                  static_cast<int>(kMaxPolicyEntries));
        refuse("Policy map size exceeds maximum limit");
    }
    for (const auto& entry : policy) {
        const std::string& name = entry.first;
        if (name.size() > kMaxPolicyNameLength) {
            LOG_ERROR("validatePolicyParams failed: policy type too long (%zu > %d)", name.size(),
                      static_cast<int>(kMaxPolicyNameLength));
            refuse("Policy type exceeds maximum length");
        }
        const auto type = policyTypes().find(name);
        if (type == policyTypes().end()) {
            LOG_ERROR("validatePolicyParams failed: unknown policy type '%s'", logSafe(name).c_str());
            refuse("Unknown policy type detected");
        }
        const std::vector<std::string>& params = entry.second;
        if (params.empty()) {
            LOG_WARN("validatePolicyParams: empty params for type '%s', skipping", logSafe(name).c_str());
            continue;
        }
        if (params.size() > kMaxPolicyParams) {
            LOG_ERROR("validatePolicyParams failed: params array too large for type '%s' (%zu > %d)",
                      logSafe(name).c_str(), params.size(), static_cast<int>(kMaxPolicyParams));
            refuse("Policy params array exceeds maximum size");
        }
        for (const auto& param : params) {
            if (type->second.kind == WorkerKind::Pkgs) {
                if (param.size() > kMaxPolicyNameLength) {
                    LOG_ERROR("validatePolicyParams failed: pkg name too long '%s' (%zu > %d)", logSafe(param).c_str(),
                              param.size(), static_cast<int>(kMaxPolicyNameLength));
                    refuse("Package name exceeds maximum length");
                }
            } else if (!isFilePathSafe(param, true, true, true)) {
                LOG_ERROR("validatePolicyParams failed: unsafe file path '%s'", logSafe(param).c_str());
                refuse("Invalid or unsafe file path detected");
            }
        }
    }
}

ExtendedPolicy PolicyParser::policies_parse(const OriginPolicy& origin)
{
    // Null until the store is first changed: a refused policy changed
    // nothing, so there is nothing to write back.
    std::unique_ptr<IdentityMaps> snapshot;
    IdentityMaps& maps = m_store;
    try {
        return parseAndApply(origin, snapshot);
    } catch (const DBus::Error& e) {
        LOG_ERROR("policies_parse DBus error: %s", e.message());
        restoreSnapshot(snapshot, maps);
        throw;
    } catch (const std::exception& e) {
        LOG_ERROR("policies_parse exception: %s", logSafe(e.what()).c_str());
        restoreSnapshot(snapshot, maps);
    } catch (...) {
        LOG_ERROR("policies_parse unknown exception occurred");
        restoreSnapshot(snapshot, maps);
    }
    return ExtendedPolicy();
}

std::unique_ptr<IdentityMaps> PolicyParser::takePolicyMaps()
{
    // The 17 maps move into the snapshot, which leaves them empty in the
    // store; only the others are copied.
    IdentityMaps taken;
    visitPolicyMaps([&](auto member) { (taken.*member).swap(m_store.*member); });
    auto snapshot = std::make_unique<IdentityMaps>(m_store);
    visitPolicyMaps([&](auto member) { (snapshot.get()->*member).swap(taken.*member); });
    return snapshot;
}

ExtendedPolicy PolicyParser::parseAndApply(const OriginPolicy& origin, std::unique_ptr<IdentityMaps>& snapshot)
{
    validatePolicyParams(origin);
    snapshot = takePolicyMaps();
    if (origin.empty()) {
        if (m_store.storeIndentityData() != 0) {
            LOG_ERROR("Failed to store identity data");
        }
        LOG_INFO_CATEGORY("origin policies is empty.");
        return ExtendedPolicy();
    }

    // Every type has its collection map from the start: each worker writes
    // only its own, so the map itself never changes shape meanwhile.
    ExtendedPolicy extended;
    for (const auto& type : policyTypes()) {
        extended[type.first];
    }
    PolicyWorkers workers(m_store, m_context, m_pool);
    std::atomic<bool> failed{false};

    // Trees first: their path identifiers and inherit flags must be in place
    // before any file below them is collected.
    {
        Phase phase(failed);
        for (const auto& entry : origin) {
            const auto type = policyTypes().find(entry.first);
            if (type == policyTypes().end() || type->second.kind != WorkerKind::RecurDirs) {
                continue;
            }
            CollectionMap& map = extended[entry.first];
            const std::vector<std::string>& params = entry.second;
            const int number = type->second.number;
            phase.start([&workers, &params, number, &map]() { workers.getRecurDirIdentityData(params, number, map); });
        }
        phase.join();
    }
    if (failed.load()) {
        refuse("Phase1 processing failed");
    }

    {
        Phase phase(failed);
        for (const auto& entry : origin) {
            const auto type = policyTypes().find(entry.first);
            if (type == policyTypes().end()) {
                LOG_ERROR("Unknown policy type: %s", logSafe(entry.first).c_str());
                phase.join();
                refuse("Invalid policy type detected");
            }
            CollectionMap& map = extended[entry.first];
            const int number = type->second.number;
            if (type->second.kind == WorkerKind::Pkgs) {
                phase.start([&workers, params = entry.second, number, &map]() {
                    workers.getPkgsIdentityData(params, number, map);
                });
            } else if (type->second.kind == WorkerKind::Files) {
                const std::vector<std::string>& params = entry.second;
                phase.start([&workers, &params, number, &map]() { workers.getFilesIdentityData(params, number, map); });
            }
        }
        phase.join();
    }
    if (failed.load()) {
        refuse("Phase2 processing failed");
    }

    finalize_policy_processing(m_store, m_context);
    try {
        m_dumpLogs.start(origin, extended);
    } catch (const std::exception& e) {
        LOG_ERROR("Background logging thread exception: %s", logSafe(e.what()).c_str());
    }
    return extended;
}
