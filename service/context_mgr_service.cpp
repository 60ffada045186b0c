#include "service/context_mgr_service.h"

#include <thread>

#include "common/logger.h"
#include "common/paths.h"

namespace {

int poolSize()
{
    const unsigned int cores = std::thread::hardware_concurrency();
    return cores == 0 ? 2 : static_cast<int>(cores);
}

}  // namespace

ContextMgrService::ContextMgrService(DBus::Connection& connection, VetuRestoreInit& store,
                                     VetuRestoreContext& restoreContext, const std::atomic<bool>& stopFlag)
    : DBus::ObjectAdaptor(connection, kLabelMgrObjectPath),
      m_threadPool(poolSize()),
      m_connection(connection),
      m_noInterfaceFilter(m_connection),
      m_store(store),
      m_restoreContext(restoreContext),
      m_stopFlag(stopFlag)
{
    // Nothing is dispatched before the constructor returns (the dispatcher
    // runs on this thread), so no call can reach an unguarded stub.
    guardStubs(labelmgr_adaptor::_methods);
    m_requestChecker.setConnection(&connection);
    m_requestChecker.loadWhitelist(paths::kWhitelistConf);
    m_requestChecker.initAdmctl();
}

ContextMgrService::~ContextMgrService() = default;

bool ContextMgrService::checkRateLimit(const std::string& sender, uint32_t rateClass, const std::string& methodName)
{
    CallerLookup caller = m_requestChecker.lookUp(sender);
    return checkRateLimit(caller, rateClass, methodName);
}

bool ContextMgrService::checkRateLimit(CallerLookup& caller, uint32_t rateClass, const std::string& methodName)
{
    if (caller.sender().empty()) {
        LOG_ERROR("checkRateLimit: sender empty");
        return false;
    }
    return m_requestChecker.checkRateLimit(caller, rateClass, methodName);
}

bool ContextMgrService::checkAuth(const std::string& sender, const std::string& methodName)
{
    CallerLookup caller = m_requestChecker.lookUp(sender);
    return checkAuth(caller, methodName);
}

bool ContextMgrService::checkAuth(CallerLookup& caller, const std::string& methodName)
{
    if (caller.sender().empty()) {
        LOG_ERROR("checkAuth: sender empty");
        return false;
    }
    return m_requestChecker.checkAuth(caller, methodName);
}

bool ContextMgrService::checkWhitelist(const std::string& sender, const std::string& methodName)
{
    CallerLookup caller = m_requestChecker.lookUp(sender);
    return checkWhitelist(caller, methodName);
}

bool ContextMgrService::checkWhitelist(CallerLookup& caller, const std::string& methodName)
{
    if (caller.sender().empty()) {
        LOG_ERROR("checkWhitelist: sender empty");
        return false;
    }
    return m_requestChecker.checkWhitelist(caller, methodName);
}
