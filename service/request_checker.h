// The three checks every service call passes before its work, in this order:
// the caller's rate, its polkit authorisation (with the secadm rule of the
// admin-control switch), and the access whitelist. Each returns true to admit
// and logs its refusals; none throws. The caller's bus name (sender) and the
// method's D-Bus name (e.g. "getPkgId") are passed to each.
#pragma once

#include <cstdint>
#include <string>

#include "service/access_whitelist.h"
#include "service/caller_identity.h"
#include "service/polkit_authority.h"
#include "service/rate_limiter.h"

namespace DBus {
class Connection;
}

class RequestChecker {
public:
    explicit RequestChecker(RateLimiter::Clock clock = &std::chrono::steady_clock::now);

    // Non-owning; must outlive the checker. Null until set: every check then
    // degrades as when the bus cannot answer.
    void setConnection(DBus::Connection* connection);
    // Result of AccessWhitelist::loadWhitelist.
    bool loadWhitelist(const std::string& path);
    // Reads the admin-control switch once; "1" lets the user secadm in.
    void initAdmctl();
    bool admctlEnabled() const { return m_admctlEnabled; }

    // rateClass: kRateClassQuery, kRateClassChange or kRateClassHeavy.
    bool checkRateLimit(const std::string& sender, uint32_t rateClass, const std::string& methodName);
    bool checkAuth(const std::string& sender, const std::string& methodName);
    bool checkWhitelist(const std::string& sender, const std::string& methodName);
    // The same, for checks of one call that share what is looked up about
    // its caller (see lookUp).
    bool checkRateLimit(CallerLookup& caller, uint32_t rateClass, const std::string& methodName);
    bool checkAuth(CallerLookup& caller, const std::string& methodName);
    bool checkWhitelist(CallerLookup& caller, const std::string& methodName);

    // The lookups of one call; sender must outlive it.
    CallerLookup lookUp(const std::string& sender) { return CallerLookup(m_identity, sender); }

    CallerIdentity& identity() { return m_identity; }

private:
    // secadm is only let in while the switch is on; with it off, a user whose
    // name cannot be found is refused too, as it might be secadm.
    bool isUserAdmitted(const std::string& user, const std::string& methodName);

    CallerIdentity m_identity;
    PolkitAuthority m_polkit;
    RateLimiter m_rateLimiter;
    AccessWhitelist m_whitelist;
    bool m_admctlEnabled = false;
};
