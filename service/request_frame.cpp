#include "service/request_frame.h"

#include <cerrno>
#include <ctime>
#include <vector>

#include "common/log_text.h"
#include "common/logger.h"
#include "store/vetu_restore_init.h"

namespace {

// The store's start-up build takes seconds to minutes; half a second keeps
// the waiting calls cheap and a stop noticed soon enough.
constexpr long kReadyPollNanoseconds = 500000000L;

void sleepOnePoll()
{
    timespec remaining{0, kReadyPollNanoseconds};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace

void ContextMgrService::admitCaller(const std::string& sender, const MethodTraits& method)
{
    // The three checks ask the same things about the caller: each is looked
    // up once for this call and handed on.
    CallerLookup caller = m_requestChecker.lookUp(sender);
    if (!checkRateLimit(caller, method.rateClass, method.name)) {
        throw DBus::ErrorLimitsExceeded("Rate limit exceeded");
    }
    if (!checkAuth(caller, method.name)) {
        throw DBus::ErrorAccessDenied("Authentication failed");
    }
    if (!checkWhitelist(caller, method.name)) {
        throw DBus::ErrorAccessDenied("Not in whitelist");
    }
}

bool ContextMgrService::waitUntilReady()
{
    while (!m_store.m_isInitialized.load(std::memory_order_acquire)) {
        if (m_stopFlag.load(std::memory_order_acquire)) {
            return false;
        }
        sleepOnePoll();
    }
    return true;
}


void ContextMgrService::logWorkException(const MethodTraits& method, const char* what)
{
    if (what != nullptr) {
        LOG_ERROR("%s exception: %s", method.name, logSafe(what).c_str());
    } else {
        LOG_ERROR("%s unknown exception occurred", method.name);
    }
}
