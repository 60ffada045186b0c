// The label service object: one D-Bus object on the system bus,
// "/org/freedesktop/DBus/ormel/vetu/labelmgr", interface
// "com.ormel.vetu.labelmgr". Every method runs on the thread that dispatches
// the connection, one call at a time, inside the request frame
// (request_frame.h): caller checks, argument checks, readiness wait, work,
// failure value. The bodies live in one file per family of methods.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/thread_pool.h"
#include "service/call_guards.h"
#include "service/labelmgr_adaptor.h"
#include "service/method_table.h"
#include "service/policy_parse.h"
#include "service/request_checker.h"

class VetuRestoreInit;
class VetuRestoreContext;

constexpr const char kLabelMgrObjectPath[] = "/org/freedesktop/DBus/ormel/vetu/labelmgr";
constexpr const char kLabelMgrBusName[] = "com.ormel.vetu.labelmgr";

class ContextMgrService : public com::ormel::vetu::labelmgr_adaptor,
                          public DBus::IntrospectableAdaptor,
                          public DBus::ObjectAdaptor {
public:
    using IdTriple = std::map<std::string, uint64_t>;
    using IdTripleByPath = std::map<std::string, IdTriple>;
    using U32ByPath = std::map<std::string, uint32_t>;
    using Policy = std::map<std::string, std::vector<std::string>>;
    using ExtendedPolicy = std::map<std::string, std::map<std::string, IdTriple>>;

    // Registers the object on connection, which must outlive it, as must the
    // store, the restore context and the stop flag. The stop flag is the
    // process's: once set, a call waiting for the store gives up and
    // returns its failure value. Loads the whitelist and reads the
    // admin-control switch.
    ContextMgrService(DBus::Connection& connection, VetuRestoreInit& store, VetuRestoreContext& restoreContext,
                      const std::atomic<bool>& stopFlag);
    ~ContextMgrService() override;
    ContextMgrService(const ContextMgrService&) = delete;
    ContextMgrService& operator=(const ContextMgrService&) = delete;

    // The caller checks of the frame; true admits. An empty sender is refused.
    bool checkRateLimit(const std::string& sender, uint32_t rateClass, const std::string& methodName);
    bool checkAuth(const std::string& sender, const std::string& methodName);
    bool checkWhitelist(const std::string& sender, const std::string& methodName);

    // --- The 46 methods, in table order (method_table.h) --------------------
    uint64_t getPkgId(const std::string& pkgname, const std::string& sender) override;
    void getPkgIds(const std::vector<std::string>& pkgnames, std::vector<uint64_t>& pkgids, int32_t& result,
                   const std::string& sender) override;
    int32_t setPkgId(const std::string& pkgname, const uint64_t& id, const std::string& sender) override;
    IdTriple queryUserSetPkgId(const std::string& pkgname, const std::string& sender) override;
    IdTriple showUserSetPkgId(const std::string& sender) override;
    int32_t delUserSetPkgId(const std::string& pkgname, const std::string& sender) override;
    int32_t delAllUserSetPkgId(const std::string& sender) override;
    IdTriple getFileOid(const std::string& filepath, const std::string& sender) override;
    int32_t setFileOid(const std::string& filepath, const IdTriple& oid, const int32_t& pattern_match,
                       const std::string& sender) override;
    IdTripleByPath queryUserSetFileOid(const std::string& filepath, const int32_t& pattern_match,
                                       const std::string& sender) override;
    IdTripleByPath showUserSetFileOid(const std::string& sender) override;
    int32_t delUserSetFileOid(const std::string& filepath, const int32_t& pattern_match,
                              const std::string& sender) override;
    int32_t delAllUserSetFileOid(const std::string& sender) override;
    IdTriple getFileSid(const std::string& filepath, const std::string& sender) override;
    int32_t setFileSid(const std::string& filepath, const IdTriple& sid, const int32_t& pattern_match,
                       const std::string& sender) override;
    IdTripleByPath queryUserSetFileSid(const std::string& filepath, const int32_t& pattern_match,
                                       const std::string& sender) override;
    IdTripleByPath showUserSetFileSid(const std::string& sender) override;
    int32_t delUserSetFileSid(const std::string& filepath, const int32_t& pattern_match,
                              const std::string& sender) override;
    int32_t delAllUserSetFileSid(const std::string& sender) override;
    uint32_t getFileTid(const std::string& filepath, const std::string& sender) override;
    int32_t setFileTid(const std::string& filepath, const uint32_t& tid, const int32_t& pattern_match,
                       const std::string& sender) override;
    U32ByPath queryUserSetFileTid(const std::string& filepath, const int32_t& pattern_match,
                                  const std::string& sender) override;
    U32ByPath showUserSetFileTid(const std::string& sender) override;
    int32_t delUserSetFileTid(const std::string& filepath, const int32_t& pattern_match,
                              const std::string& sender) override;
    int32_t delAllUserSetFileTid(const std::string& sender) override;
    uint32_t getFileInheritFlag(const std::string& filepath, const std::string& sender) override;
    int32_t setFileInheritFlag(const std::string& filepath, const uint32_t& inheritFlag,
                               const int32_t& pattern_match, const std::string& sender) override;
    U32ByPath queryUserSetFileInheritFlag(const std::string& filepath, const int32_t& pattern_match,
                                          const std::string& sender) override;
    U32ByPath showUserSetFileInheritFlag(const std::string& sender) override;
    int32_t delUserSetFileInheritFlag(const std::string& filepath, const int32_t& pattern_match,
                                      const std::string& sender) override;
    int32_t delAllUserSetFileInheritFlag(const std::string& sender) override;
    int32_t setLabelForPkg(const std::vector<std::string>& fileList, const std::string& pkgName,
                           const uint32_t& pkgType, const std::string& sender) override;
    uint64_t getKernelModuleOid(const std::string& moduleNmae, const std::string& sender) override;
    IdTriple getKernelModuleOids(const std::vector<std::string>& moduleNmae, const std::string& sender) override;
    uint64_t getDeviceOid(const std::string& device, const std::string& sender) override;
    IdTriple getDeviceOids(const std::vector<std::string>& device, const std::string& sender) override;
    int32_t addTagFullSystem(const std::string& path, const std::vector<std::string>& excludedDir,
                             const std::string& sender) override;
    std::string getPathSm3HashValue(const std::string& path, const std::string& sender) override;
    ExtendedPolicy policies_parse(const Policy& origin_policy, const std::string& sender) override;
    std::string restoreSingleFileLabel(const std::string& filepath, const std::string& sender) override;
    std::string restoreSingleFileInitLabel(const std::string& filepath, const std::string& sender) override;
    int32_t getLabelSetStatus(const std::string& sender) override;
    int32_t setLabelForQuensetInterpreter(const std::string& path, const std::string& sender) override;
    int32_t setLabelForSoviInterpreter(const std::string& path, const std::string& sender) override;
    std::string pathNormalize(const std::string& path, const std::string& sender) override;
    std::string getPkgNameById(const uint64_t& pkgId, const std::string& sender) override;

protected:
    // The request frame (request_frame.h). check returns the InvalidArgs text
    // of the first failing argument check, or nullptr; work is the body.
    template <Method M, typename Check, typename Work>
    auto runRequest(const std::string& sender, Check&& check, Work&& work) -> decltype(work());

private:
    // Steps 1 to 3 of the frame; a refusal is thrown as its D-Bus error.
    void admitCaller(const std::string& sender, const MethodTraits& method);
    // The caller checks with the lookups of one call.
    bool checkRateLimit(CallerLookup& caller, uint32_t rateClass, const std::string& methodName);
    bool checkAuth(CallerLookup& caller, const std::string& methodName);
    bool checkWhitelist(CallerLookup& caller, const std::string& methodName);
    // Sleeps until the store is ready (true) or the stop flag is set (false).
    bool waitUntilReady();
    // Labels each file as a new file of the package, on the pool; returns
    // when all are done. A task's exception is raised again here.
    void labelPkgFiles(const std::vector<std::string>& files, const std::string& pkgName, uint32_t pkgType);
    static void logWorkException(const MethodTraits& method, const char* what);

    ThPool m_threadPool;
    DBus::Connection m_connection;
    RequestChecker m_requestChecker;
    NoInterfaceFilter m_noInterfaceFilter;
    VetuRestoreInit& m_store;
    VetuRestoreContext& m_restoreContext;
    const std::atomic<bool>& m_stopFlag;
    // Last: its dump-log thread is joined before the pool and the rest go.
    PolicyParser m_policyParser{m_store, m_restoreContext, m_threadPool};
};
