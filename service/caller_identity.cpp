#include "service/caller_identity.h"

#include <pwd.h>
#include <unistd.h>

#include <dbus-c++/dbus.h>
#include <dbus/dbus-protocol.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/logger.h"
#include "common/paths.h"

namespace {

constexpr const char kBusName[] = "org.freedesktop.DBus";
constexpr const char kBusPath[] = "/org/freedesktop/DBus";
constexpr const char kGetPid[] = "GetConnectionUnixProcessID";
constexpr const char kGetUid[] = "GetConnectionUnixUser";
constexpr size_t kExeLinkBufferSize = 4096;

enum class BusAnswer { Ok, ErrorReply, DBusError, StdException, Unknown };

std::string procPath(const char* format, uint32_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), format, static_cast<int>(pid));
    return path;
}

}  // namespace

CallerIdentity::CallerIdentity(DBus::Connection* connection) : m_connection(connection) {}

void CallerIdentity::setConnection(DBus::Connection* connection)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection = connection;
    m_cache.clear();
    m_cacheOrder.clear();
}

bool CallerIdentity::cached(const std::string& sender, Credentials& out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_cache.find(sender);
    if (it == m_cache.end()) {
        return false;
    }
    out = it->second;
    return true;
}

void CallerIdentity::remember(const std::string& sender, const Credentials& update)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_cache.find(sender);
    if (it == m_cache.end()) {
        if (m_cache.size() >= kMaxCachedCallers) {
            m_cache.erase(m_cacheOrder.front());
            m_cacheOrder.pop_front();
        }
        it = m_cache.emplace(sender, Credentials()).first;
        m_cacheOrder.push_back(sender);
    }
    if (update.hasPid) {
        it->second.hasPid = true;
        it->second.pid = update.pid;
    }
    if (update.hasUid) {
        it->second.hasUid = true;
        it->second.uid = update.uid;
    }
}

// Sends one org.freedesktop.DBus query about a bus name; what carries the
// error text of a failure.
static BusAnswer queryBus(DBus::Connection& connection, const char* method, const std::string& sender,
                          uint32_t& value, std::string& what)
{
    try {
        DBus::CallMessage call(kBusName, kBusPath, kBusName, method);
        DBus::MessageIter writer = call.writer();
        writer.append_string(sender.c_str());
        const DBus::Message reply = connection.send_blocking(call);
        DBus::MessageIter reader = reply.reader();
        if (reply.is_error() || reader.type() != DBUS_TYPE_UINT32) {
            return BusAnswer::ErrorReply;
        }
        value = reader.get_uint32();
        return BusAnswer::Ok;
    } catch (const DBus::Error& e) {
        what = e.what();
        return BusAnswer::DBusError;
    } catch (const std::exception& e) {
        what = e.what();
        return BusAnswer::StdException;
    } catch (...) {
        return BusAnswer::Unknown;
    }
}

uint32_t CallerIdentity::getCallerPid(const std::string& sender)
{
    if (sender.empty() || m_connection == nullptr) {
        LOG_ERROR("getCallerPid: sender empty or connection null");
        return 0;
    }
    Credentials known;
    if (cached(sender, known) && known.hasPid) {
        return known.pid;
    }
    uint32_t pid = 0;
    std::string what;
    switch (queryBus(*m_connection, kGetPid, sender, pid, what)) {
    case BusAnswer::Ok:
        break;
    case BusAnswer::ErrorReply:
        LOG_ERROR("GetConnectionUnixProcessID failed: invalid response");
        return 0;
    case BusAnswer::DBusError:
        LOG_ERROR("GetConnectionUnixProcessID DBus error: %s", what.c_str());
        return 0;
    case BusAnswer::StdException:
        LOG_ERROR("getCallerPid exception: %s", what.c_str());
        return 0;
    case BusAnswer::Unknown:
        LOG_ERROR("getCallerPid unknown exception occurred");
        return 0;
    }
    LOG_DEBUG("getCallerPid: sender=%s, pid=%u", sender.c_str(), pid);
    Credentials update;
    update.hasPid = true;
    update.pid = pid;
    remember(sender, update);
    return pid;
}

bool CallerIdentity::getCallerUid(const std::string& sender, uint32_t& uid)
{
    if (sender.empty() || m_connection == nullptr) {
        LOG_ERROR("getCallerUid: sender empty or connection null");
        return false;
    }
    Credentials known;
    if (cached(sender, known) && known.hasUid) {
        uid = known.uid;
        return true;
    }
    std::string what;
    switch (queryBus(*m_connection, kGetUid, sender, uid, what)) {
    case BusAnswer::Ok:
        break;
    case BusAnswer::ErrorReply:
        LOG_ERROR("GetConnectionUnixUser failed: invalid response");
        return false;
    case BusAnswer::DBusError:
        LOG_ERROR("GetConnectionUnixUser DBus error: %s", what.c_str());
        return false;
    case BusAnswer::StdException:
        LOG_ERROR("getCallerUid exception: %s", what.c_str());
        return false;
    case BusAnswer::Unknown:
        LOG_ERROR("getCallerUid unknown exception occurred");
        return false;
    }
    Credentials update;
    update.hasUid = true;
    update.uid = uid;
    remember(sender, update);
    return true;
}

std::string CallerIdentity::getCallerUserName(const std::string& sender)
{
    if (sender.empty() || m_connection == nullptr) {
        LOG_ERROR("getCallerUserName: sender empty or connection null");
        return "";
    }
    uint32_t uid = 0;
    if (!getCallerUid(sender, uid)) {
        return "";
    }
    return userNameOf(sender, uid);
}

std::string CallerIdentity::userNameOf(const std::string& sender, uint32_t uid)
{
    LOG_DEBUG("getCallerUserName: sender=%s, uid=%u", sender.c_str(), uid);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc;
    while ((rc = getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || found == nullptr) {
        LOG_ERROR("getCallerUserName: getpwuid failed for uid=%u", uid);
        return "";
    }
    return found->pw_name;
}

void CallerIdentity::getCallerProcessInfo(uint32_t pid, std::string& name, std::string& path)
{
    name.clear();
    path.clear();
    try {
        {
            std::lock_guard<std::mutex> lock(m_commMutex);
            name = m_comms.getProcessComm(static_cast<int32_t>(pid));
        }
        char target[kExeLinkBufferSize];
        const ssize_t n = readlink(procPath(paths::kProcExeFmt, pid).c_str(), target, sizeof(target));
        if (n > 0 && static_cast<size_t>(n) < sizeof(target)) {
            path.assign(target, static_cast<size_t>(n));
        }
    } catch (...) {
        LOG_ERROR("getCallerProcessInfo unknown exception occurred");
    }
}

CallerLookup::CallerLookup(CallerIdentity& identity, const std::string& sender)
    : m_identity(identity), m_sender(sender)
{
}

uint32_t CallerLookup::pid()
{
    if (!m_hasPid) {
        m_pid = m_identity.getCallerPid(m_sender);
        m_hasPid = true;
    }
    return m_pid;
}

bool CallerLookup::uid(uint32_t& uid)
{
    if (!m_askedUid) {
        m_hasUid = m_identity.getCallerUid(m_sender, m_uid);
        m_askedUid = true;
    }
    uid = m_uid;
    return m_hasUid;
}

const std::string& CallerLookup::userName()
{
    if (!m_hasUserName) {
        uint32_t known = 0;
        if (uid(known)) {
            m_userName = m_identity.userNameOf(m_sender, known);
        }
        m_hasUserName = true;
    }
    return m_userName;
}

void CallerLookup::readProcessInfo()
{
    if (!m_hasProcessInfo) {
        m_identity.getCallerProcessInfo(pid(), m_processName, m_executablePath);
        m_hasProcessInfo = true;
    }
}

const std::string& CallerLookup::processName()
{
    readProcessInfo();
    return m_processName;
}

const std::string& CallerLookup::executablePath()
{
    readProcessInfo();
    return m_executablePath;
}

uint64_t getProcessStartTime(uint32_t pid)
{
    if (pid == 0) {
        return 0;
    }
    try {
        std::ifstream stat(procPath(paths::kProcStatFmt, pid));
        std::string line;
        if (!stat.is_open() || !std::getline(stat, line)) {
            return 0;
        }
        const size_t close = line.rfind(')');
        if (close == std::string::npos) {
            return 0;
        }
        // Fields after the command: the state is the 1st, the start time the 20th.
        std::istringstream fields(line.substr(close + 1));
        std::string field;
        for (int i = 0; i < 20; ++i) {
            if (!(fields >> field)) {
                return 0;
            }
        }
        size_t used = 0;
        const unsigned long long value = std::stoull(field, &used, 10);
        if (used != field.size() || field[0] == '-') {
            LOG_ERROR("getProcessStartTime unknown exception occurred");
            return 0;
        }
        return value;
    } catch (...) {
        LOG_ERROR("getProcessStartTime unknown exception occurred");
        return 0;
    }
}
