// Policy parsing: a whole policy replaces the policy part of the store. The
// store is snapshot, its 17 policy maps emptied and refilled by the identity
// workers (recursive trees first, then everything else), the result made
// effective and dumped; any failure writes the snapshot back.
#pragma once

#include <cstddef>
#include <memory>

#include "common/thread_pool.h"
#include "service/policy_dump_log.h"

class VetuRestoreInit;
class IdentityMaps;
class VetuRestoreContext;

constexpr size_t kMaxPolicyEntries = 100000;
constexpr size_t kMaxPolicyParams = 100000;
constexpr size_t kMaxPolicyNameLength = 512;

// Raises DBus::Error named "com.ormel.vetu.labelmgr" for a policy that breaks
// a limit or names an unknown type or an unsafe path.
void validatePolicyParams(const OriginPolicy& policy);

class PolicyParser {
public:
    PolicyParser(VetuRestoreInit& store, VetuRestoreContext& context, ThPool& pool)
        : m_store(store), m_context(context), m_pool(pool)
    {
    }

    // The method's work once the caller checks and the readiness wait have
    // passed: the extended policy; an empty one when the work failed. Policy
    // refusals and failed phases raise DBus::Error after the store has been
    // restored.
    ExtendedPolicy policies_parse(const OriginPolicy& origin);
    // Waits for the dump logs of the last call.
    void joinDumpLogs() { m_dumpLogs.join(); }

private:
    ExtendedPolicy parseAndApply(const OriginPolicy& origin, std::unique_ptr<IdentityMaps>& snapshot);
    // The store as it was, with its 17 policy maps emptied.
    std::unique_ptr<IdentityMaps> takePolicyMaps();

    VetuRestoreInit& m_store;
    VetuRestoreContext& m_context;
    ThPool& m_pool;
    PolicyDumpLogThread m_dumpLogs;
};
