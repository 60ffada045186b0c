#include "common/process_attr.h"

#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <fstream>
#include <sstream>

#include "common/file_utils.h"
#include "common/label_context.h"
#include "common/logger.h"
#include "common/path_utils.h"
#include "common/paths.h"

namespace {

constexpr size_t kAttrFields = 5;
constexpr size_t kSidField = 0;
constexpr size_t kOrigSidField = 2;

std::string idText(const vetu_id_t& id)
{
    return toHex16(id.pkg_id) + "-" + toHex16(id.file_id) + "-" + toHex16(id.path_id);
}

// Shared by setProcessSid and setProcessOrigSid; func names the caller in the log.
int replaceAttrField(uint32_t pid, size_t field, const vetu_id_t& id, const char* func)
{
    const std::string attr = readProcessAttr(pid);
    if (attr.empty()) {
        Logger::getInstance()->logError(func, __LINE__, "get process attr errror, attr is empty.");
        return 0;
    }
    std::vector<std::string> fields;
    splitString(attr, ':', fields);
    if (fields.size() != kAttrFields) {
        Logger::getInstance()->logError(func, __LINE__, "process attr value has insufficient elements: %zu",
                                        fields.size());
        return 0;
    }
    fields[field] = idText(id);
    std::string text = fields[0];
    for (size_t i = 1; i < fields.size(); ++i) {
        text += ':';
        text += fields[i];
    }
    return writeProcessAttr(pid, text);
}

}  // namespace

std::string procPath(const char* format, int pid)
{
    char path[64];
    snprintf(path, sizeof(path), format, pid);
    return path;
}

std::string readProcessAttr(uint32_t pid)
{
    return readFile(procPath(paths::kProcAttrCurrentFmt, static_cast<int>(pid)));
}

int writeProcessAttr(uint32_t pid, const std::string& text)
{
    return writeFile(procPath(paths::kProcAttrCurrentFmt, static_cast<int>(pid)), text) ? 1 : 0;
}

int setProcessSid(const unsigned int& pid, const vetu_id_t& sid)
{
    return replaceAttrField(pid, kSidField, sid, __FUNCTION__);
}

int setProcessOrigSid(const unsigned int& pid, const vetu_id_t& origSid)
{
    return replaceAttrField(pid, kOrigSidField, origSid, __FUNCTION__);
}

std::string statTextField(const std::string& stat, int field)
{
    // "pid (comm) state ...": comm may hold blanks, parentheses and newlines,
    // so the fields that follow are counted from the last ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || field < 3) {
        return "";
    }
    const char* p = stat.c_str() + close + 1;
    for (int current = 3;; ++current) {
        while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) {
            ++p;
        }
        const char* begin = p;
        while (*p != '\0' && !isspace(static_cast<unsigned char>(*p))) {
            ++p;
        }
        if (begin == p) {
            return "";
        }
        if (current == field) {
            return std::string(begin, p);
        }
    }
}

std::string procStatField(uint32_t pid, int field)
{
    // Read whole: a name with a newline must not cut the text short.
    std::ifstream in(procPath(paths::kProcStatFmt, static_cast<int>(pid)));
    std::ostringstream text;
    if (!in.is_open() || !(text << in.rdbuf())) {
        return "";
    }
    return statTextField(text.str(), field);
}

int getParentPid(uint32_t pid)
{
    const std::string stat = readFile(procPath(paths::kProcStatFmt, static_cast<int>(pid)));
    const std::string ppid = statTextField(stat, 4);
    if (ppid.empty() || (!isdigit(static_cast<unsigned char>(ppid[0])) && ppid[0] != '-' && ppid[0] != '+')) {
        return -1;
    }
    char* end = nullptr;
    const long value = strtol(ppid.c_str(), &end, 10);
    return end == ppid.c_str() ? -1 : static_cast<int>(value);
}

std::vector<uint32_t> getAllParent(int pid)
{
    std::vector<uint32_t> parents;
    if (pid < 2) {
        return parents;
    }
    int current = pid;
    while (true) {
        const int parent = getParentPid(static_cast<uint32_t>(current));
        if (parent == -1) {
            LOG_ERROR("current pid %d.", current);
            return parents;
        }
        parents.push_back(static_cast<uint32_t>(parent));
        if (parent < 2) {
            return parents;
        }
        current = parent;
    }
}
