#include "service/caller_identity.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <dbus-c++/dbus.h>
#include <dbus/dbus-protocol.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fstream>
#include <vector>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/process_attr.h"
#include "common/paths.h"

namespace {

constexpr const char kBusName[] = "org.freedesktop.DBus";
constexpr const char kBusPath[] = "/org/freedesktop/DBus";
constexpr const char kGetPid[] = "GetConnectionUnixProcessID";
constexpr const char kGetUid[] = "GetConnectionUnixUser";
constexpr size_t kExeLinkBufferSize = 4096;

using BusAnswer = CallerIdentity::Answer;

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
        LOG_ERROR("GetConnectionUnixProcessID DBus error: %s", logSafe(what).c_str());
        return 0;
    case BusAnswer::StdException:
        LOG_ERROR("getCallerPid exception: %s", logSafe(what).c_str());
        return 0;
    case BusAnswer::NoConnection:
    case BusAnswer::Unknown:
        LOG_ERROR("getCallerPid unknown exception occurred");
        return 0;
    }
    LOG_DEBUG("getCallerPid: sender=%s, pid=%u", logSafe(sender).c_str(), pid);
    Credentials update;
    update.hasPid = true;
    update.pid = pid;
    remember(sender, update);
    return pid;
}

CallerIdentity::Answer CallerIdentity::askCallerUid(const std::string& sender, uint32_t& uid, std::string& what)
{
    if (sender.empty() || m_connection == nullptr) {
        return Answer::NoConnection;
    }
    Credentials known;
    if (cached(sender, known) && known.hasUid) {
        uid = known.uid;
        return Answer::Ok;
    }
    const Answer answer = queryBus(*m_connection, kGetUid, sender, uid, what);
    if (answer == Answer::Ok) {
        Credentials update;
        update.hasUid = true;
        update.uid = uid;
        remember(sender, update);
    }
    return answer;
}

bool CallerIdentity::getCallerUid(const std::string& sender, uint32_t& uid)
{
    std::string what;
    return logUidAnswer(askCallerUid(sender, uid, what), what);
}

bool CallerIdentity::logUidAnswer(Answer answer, const std::string& what)
{
    switch (answer) {
    case Answer::Ok:
        return true;
    case Answer::NoConnection:
        LOG_ERROR("getCallerUid: sender empty or connection null");
        return false;
    case Answer::ErrorReply:
        LOG_ERROR("GetConnectionUnixUser failed: invalid response");
        return false;
    case Answer::DBusError:
        LOG_ERROR("GetConnectionUnixUser DBus error: %s", logSafe(what).c_str());
        return false;
    case Answer::StdException:
        LOG_ERROR("getCallerUid exception: %s", logSafe(what).c_str());
        return false;
    case Answer::Unknown:
        break;
    }
    LOG_ERROR("getCallerUid unknown exception occurred");
    return false;
}

std::string CallerIdentity::getCallerUserName(const std::string& sender)
{
    if (sender.empty() || m_connection == nullptr) {
        LOG_ERROR("getCallerUserName: sender empty or connection null");
        return "";
    }
    uint32_t uid = 0;
    std::string what;
    const Answer answer = askCallerUid(sender, uid, what);
    return userNameFor(sender, answer, uid, what);
}

std::string CallerIdentity::userNameFor(const std::string& sender, Answer answer, uint32_t uid,
                                        const std::string& what)
{
    switch (answer) {
    case Answer::Ok:
        return userNameOf(sender, uid);
    case Answer::ErrorReply:
        LOG_ERROR("GetConnectionUnixUser failed: invalid response");
        return "";
    case Answer::DBusError:
        LOG_ERROR("GetConnectionUnixUser DBus error: %s", logSafe(what).c_str());
        return "";
    case Answer::StdException:
        LOG_ERROR("getCallerUserName exception: %s", logSafe(what).c_str());
        return "";
    case Answer::NoConnection:
    case Answer::Unknown:
        break;
    }
    LOG_ERROR("getCallerUserName unknown exception occurred");
    return "";
}

std::string CallerIdentity::userNameOf(const std::string& sender, uint32_t uid)
{
    LOG_DEBUG("getCallerUserName: sender=%s, uid=%u", logSafe(sender).c_str(), uid);
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
        const ssize_t n = readlink(procPath(paths::kProcExeFmt, static_cast<int>(pid)).c_str(), target, sizeof(target));
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

CallerIdentity::Answer CallerLookup::askUid(uint32_t& uid, std::string& what)
{
    if (!m_askedUid) {
        m_uidAnswer = m_identity.askCallerUid(m_sender, m_uid, m_uidWhat);
        m_askedUid = true;
    }
    uid = m_uid;
    what = m_uidWhat;
    return m_uidAnswer;
}

bool CallerLookup::uid(uint32_t& uid)
{
    std::string what;
    return m_identity.logUidAnswer(askUid(uid, what), what);
}

const std::string& CallerLookup::userName()
{
    if (!m_hasUserName) {
        if (m_sender.empty()) {
            LOG_ERROR("getCallerUserName: sender empty or connection null");
        } else {
            uint32_t known = 0;
            std::string what;
            const CallerIdentity::Answer answer = askUid(known, what);
            m_userName = m_identity.userNameFor(m_sender, answer, known, what);
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

// The whole of /proc/<pid>/stat in one read, without a stream: its name is
// at most 15 bytes and its numbers fit far below the buffer.
static bool readProcStat(uint32_t pid, std::string& text)
{
    const int fd = open(procPath(paths::kProcStatFmt, static_cast<int>(pid)).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    ssize_t n;
    do {
        n = read(fd, buffer, sizeof(buffer));
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0 || static_cast<size_t>(n) == sizeof(buffer)) {
        return false;
    }
    text.assign(buffer, static_cast<size_t>(n));
    return true;
}

uint64_t getProcessStartTime(uint32_t pid)
{
    if (pid == 0) {
        return 0;
    }
    try {
        std::string stat;
        if (!readProcStat(pid, stat)) {
            return 0;
        }
        const std::string field = statTextField(stat, 22);
        if (field.empty()) {
            return 0;
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
