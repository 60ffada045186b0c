// After a policy load, running processes take the subject identity of the
// executable they run: as their original sid always, as their current sid
// where they run under their own original sid or under an inheriting chain
// whose top runs a configured executable.
#include <dirent.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/file_utils.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_utils.h"
#include "common/paths.h"
#include "common/process_attr.h"
#include "restore/vetu_restore_context.h"

namespace {

constexpr size_t kAttrFields = 5;
constexpr size_t kSidField = 0;
constexpr size_t kOrigSidField = 2;

bool allDigits(const char* name)
{
    if (*name == '\0') {
        return false;
    }
    for (; *name != '\0'; ++name) {
        if (!isdigit(static_cast<unsigned char>(*name))) {
            return false;
        }
    }
    return true;
}

// The attribute's five fields, or false (with the text) when it has another count.
bool attrFields(const std::string& attr, std::vector<std::string>& fields)
{
    splitString(attr, ':', fields);
    return fields.size() == kAttrFields;
}

bool runsUnderOwnSid(const std::vector<std::string>& fields)
{
    return fields[kSidField] == fields[kOrigSidField];
}

}  // namespace

namespace {

// What one process gets, decided on the attributes as they were before any
// of them changed: an ancestor updated earlier in the walk would otherwise
// look as if it ran under its own sid, and the outcome would depend on the
// order of /proc.
constexpr const char kUpdateName[] = "updateProcessAttr";

struct ProcessUpdate {
    int pid;
    std::string exe;
    vetu_id_t sid;
    std::string attr;
    bool ownSid;
    std::vector<uint32_t> chain;  // inherited only: the process and the ancestors it inherits through
};

// Part of updateProcessAttr, whose name its lines carry.
ProcessUpdate planProcessUpdate(int pid, const std::string& exe, const vetu_id_t& sid, const std::string& attr,
                                bool ownSid)
{
    ProcessUpdate update{pid, exe, sid, attr, ownSid, {}};
    if (ownSid) {
        return update;
    }
    update.chain.push_back(static_cast<uint32_t>(pid));
    for (const uint32_t parent : getAllParent(pid)) {
        const std::string parentAttr = readProcessAttr(parent);
        if (parentAttr.empty()) {
            Logger::getInstance()->logError(kUpdateName, __LINE__,
                                            "getProcessAttr error, %s pid: %d, ppid: %d, pattr: empty",
                                            logSafe(exe).c_str(), pid, static_cast<int>(parent));
            continue;
        }
        Logger::getInstance()->logInfo(kUpdateName, __LINE__, "getProcessAttr, %s pid: %d, ppid: %d, pattr: %s",
                                       logSafe(exe).c_str(), pid, static_cast<int>(parent),
                                       logSafe(parentAttr).c_str());
        std::vector<std::string> parentFields;
        if (!attrFields(parentAttr, parentFields)) {
            Logger::getInstance()->logError(kUpdateName, __LINE__,
                                            "splitString error, attrValue size is not 5, %s pid: %d, ppid: %d",
                                            logSafe(exe).c_str(), pid, static_cast<int>(parent));
            continue;
        }
        if (runsUnderOwnSid(parentFields)) {
            break;
        }
        update.chain.push_back(parent);
    }
    return update;
}

}  // namespace

void VetuRestoreContext::updateProcessAttr(const std::map<std::string, vetu_id_t>& exeToSid)
{
    DIR* proc = opendir(paths::kProcDir);
    if (proc == nullptr) {
        LOG_ERROR("open /proc failed.");
        return;
    }
    std::vector<ProcessUpdate> updates;
    while (const struct dirent* entry = readdir(proc)) {
        if (entry->d_type != DT_DIR || !allDigits(entry->d_name)) {
            continue;
        }
        const int pid = atoi(entry->d_name);
        const std::string exe = getProcessExecutableOrScriptPath(pid);
        const auto configured = exe.empty() ? exeToSid.end() : exeToSid.find(exe);
        if (configured == exeToSid.end()) {
            continue;
        }
        const std::string attr = readProcessAttr(static_cast<uint32_t>(pid));
        if (attr.empty()) {
            continue;
        }
        std::vector<std::string> fields;
        if (!attrFields(attr, fields)) {
            LOG_ERROR("attrValue size is not 5. %d, currentAttr: %s", pid, logSafe(attr).c_str());
            continue;
        }
        updates.push_back(planProcessUpdate(pid, exe, configured->second, attr, runsUnderOwnSid(fields)));
    }
    closedir(proc);

    for (const ProcessUpdate& update : updates) {
        const int pid = update.pid;
        const unsigned int upid = static_cast<unsigned int>(pid);
        const LogText shownExe(update.exe);
        const char* exe = shownExe.c_str();
        LOG_INFO("exe_file: %s, pid: %d, currentAttr: %s", exe, pid, logSafe(update.attr).c_str());
        if (setProcessOrigSid(upid, update.sid) == 0) {
            LOG_ERROR("setProcessOrigSid error, %s pid: %d, currentAttr: %s", exe, pid, logSafe(update.attr).c_str());
            continue;
        }
        if (update.ownSid) {
            if (setProcessSid(upid, update.sid) == 0) {
                LOG_ERROR("setProcessSid error, %s pid: %d, currentAttr: %s", exe, pid, logSafe(update.attr).c_str());
                continue;
            }
            const std::string newAttr = readProcessAttr(upid);
            if (newAttr.empty()) {
                LOG_ERROR("getProcessAttr error, %s pid: %d, newAttr: empty", exe, pid);
            } else {
                LOG_INFO("exe_file: %s, pid: %d, newAttr: %s", exe, pid, logSafe(newAttr).c_str());
            }
            continue;
        }
        const auto top = exeToSid.find(getProcessExecutableOrScriptPath(static_cast<int>(update.chain.back())));
        if (top == exeToSid.end()) {
            continue;
        }
        const vetu_id_t& inheritSid = top->second;
        for (const uint32_t member : update.chain) {
            const std::string memberExe = getProcessExecutableOrScriptPath(static_cast<int>(member));
            if (!memberExe.empty() && setProcessSid(member, inheritSid) != 0) {
                LOG_INFO("parent_exe_file: %s, parent_pid: %d, inheritSid: %016lx-%016lx-%016lx",
                         logSafe(memberExe).c_str(), static_cast<int>(member), inheritSid.pkg_id, inheritSid.file_id,
                         inheritSid.path_id);
            }
        }
        const std::string newAttr = readProcessAttr(upid);
        if (!newAttr.empty()) {
            LOG_INFO("exe_file: %s, pid: %d, newAttr: %s", exe, pid, logSafe(newAttr).c_str());
        }
    }
}
