// Who is calling: the process id and user id of a bus name as the bus daemon
// reports them, the user's name, and the process's command, executable and
// start time from /proc. A unique bus name is never reused and its
// credentials are fixed when it connects, so its answers are remembered
// (bounded); /proc and the user database are read afresh for every call.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "restore/process_probe.h"

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
    // The lines getCallerUid writes for an answer; true for Ok.
    static bool logUidAnswer(Answer answer, const std::string& what);
    // The user database name of the caller's uid; "" on any failure (logged).
    std::string getCallerUserName(const std::string& sender);
    // The same from an answer already had; a failure logged as getCallerUserName logs it.
    static std::string userNameFor(const std::string& sender, Answer answer, uint32_t uid, const std::string& what);
    // The user database name of a uid the bus reported for sender, looked up
    // now; "" when there is none (logged).
    static std::string userNameOf(const std::string& sender, uint32_t uid);

    // First line of /proc/<pid>/comm and the target of /proc/<pid>/exe;
    // each left empty when it cannot be read (a target of 4096 bytes or more
    // included). Both are read afresh on every call.
    void getCallerProcessInfo(uint32_t pid, std::string& name, std::string& path);

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
    // Keeps the last caller's name file open: a process calling again is
    // read with one system call instead of three.
    std::mutex m_commMutex;
    ProcessCommReader m_comms;
};

// What the checks of one call ask about its caller, each looked up at most
// once for that call, when first asked. Made anew for every call, since
// between two calls the process may exec and the user database may change.
class CallerLookup {
public:
    // Both must outlive the lookup.
    CallerLookup(CallerIdentity& identity, const std::string& sender);

    const std::string& sender() const { return m_sender; }
    // As CallerIdentity::getCallerPid.
    uint32_t pid();
    // As CallerIdentity::askCallerUid, asked once a call.
    CallerIdentity::Answer askUid(uint32_t& uid, std::string& what);
    // As CallerIdentity::getCallerUid.
    bool uid(uint32_t& uid);
    // As CallerIdentity::getCallerUserName.
    const std::string& userName();
    // As CallerIdentity::getCallerProcessInfo of pid().
    const std::string& processName();
    const std::string& executablePath();

private:
    void readProcessInfo();

    CallerIdentity& m_identity;
    const std::string& m_sender;
    bool m_hasPid = false;
    uint32_t m_pid = 0;
    bool m_askedUid = false;
    CallerIdentity::Answer m_uidAnswer = CallerIdentity::Answer::Unknown;
    uint32_t m_uid = 0;
    std::string m_uidWhat;
    bool m_hasUserName = false;
    std::string m_userName;
    bool m_hasProcessInfo = false;
    std::string m_processName;
    std::string m_executablePath;
};

// The start time of the process in clock ticks since boot (field 22 of
// /proc/<pid>/stat); 0 when it cannot be read.
uint64_t getProcessStartTime(uint32_t pid);
