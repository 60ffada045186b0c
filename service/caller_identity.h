// Who is calling: the process id and user id of a bus name as the bus daemon
// reports them, the user's name, and the process's command, executable and
// start time from /proc. A unique bus name is never reused and its
// credentials are fixed when it connects, so its answers are remembered
// (bounded); /proc is read afresh every time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace DBus {
class Connection;
}

class CallerIdentity {
public:
    // Remembered bus names; the oldest is forgotten first.
    static constexpr size_t kMaxCachedCallers = 4096;

    explicit CallerIdentity(DBus::Connection* connection = nullptr);
    // Non-owning; every bus-daemon query is sent on it.
    void setConnection(DBus::Connection* connection);

    // 0 on any failure (logged).
    uint32_t getCallerPid(const std::string& sender);
    // False on any failure (logged).
    bool getCallerUid(const std::string& sender, uint32_t& uid);
    // The same without a line: how the bus daemon answered, what the text of
    // a failure. NoConnection also for an empty name.
    enum class Answer { Ok, NoConnection, ErrorReply, DBusError, StdException, Unknown };
    Answer askCallerUid(const std::string& sender, uint32_t& uid, std::string& what);
    // The user database name of the caller's uid; "" on any failure (logged).
    std::string getCallerUserName(const std::string& sender);

    // First line of /proc/<pid>/comm and the target of /proc/<pid>/exe;
    // each left empty when it cannot be read (a target of 4096 bytes or more
    // included).
    static void getCallerProcessInfo(uint32_t pid, std::string& name, std::string& path);

private:
    struct Credentials {
        bool hasPid = false;
        uint32_t pid = 0;
        bool hasUid = false;
        uint32_t uid = 0;
    };
    bool cached(const std::string& sender, Credentials& out);
    void remember(const std::string& sender, const Credentials& update);
    // One bus-daemon query taking the name and returning a uint32.
    bool askBus(const char* method, const std::string& sender, uint32_t& value);

    DBus::Connection* m_connection;
    std::mutex m_mutex;
    std::map<std::string, Credentials> m_cache;
    std::deque<std::string> m_cacheOrder;
};

// The start time of the process in clock ticks since boot (field 22 of
// /proc/<pid>/stat); 0 when it cannot be read.
uint64_t getProcessStartTime(uint32_t pid);
