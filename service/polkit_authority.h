// The polkit question of the caller checks: may this process do the action?
#pragma once

#include <cstdint>
#include <string>

namespace DBus {
class Connection;
}

constexpr const char kLabelMgrAccessAction[] = "com.ormel.vetu.labelmgr.access";

class PolkitAuthority {
public:
    explicit PolkitAuthority(DBus::Connection* connection = nullptr);
    // Non-owning; CheckAuthorization is sent on it.
    void setConnection(DBus::Connection* connection);

    // Asks CheckAuthorization about the "unix-process" subject with the pid,
    // its start time and the uid the bus daemon reported for the caller (so
    // that an exec of a setuid program after the call cannot lend the
    // caller root). No user interaction. True only for an authorised
    // answer; otherwise errorText says why.
    bool polkitCheckAuth(uint32_t pid, uint32_t uid, const std::string& actionId, std::string& errorText);

private:
    DBus::Connection* m_connection;
};
