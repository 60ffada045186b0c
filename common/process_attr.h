// The security context of a process, /proc/<pid>/attr/vetu/current, and its
// ancestry through /proc/<pid>/stat.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/vetu_id.h"

// A per-process file: one of the paths::kProc*Fmt formats with the pid.
std::string procPath(const char* format, int pid);
// The whole attribute file; "" when it cannot be read.
std::string readProcessAttr(uint32_t pid);
// 1 when the text was written whole, 0 otherwise (the kernel may refuse it).
int writeProcessAttr(uint32_t pid, const std::string& text);
// Rewrite the sid (field 1) or the orig sid (field 3) of the attribute text;
// the other fields stay byte for byte. 0 when the attribute is empty, not
// five fields, or the write fails.
int setProcessSid(const unsigned int& pid, const vetu_id_t& sid);
int setProcessOrigSid(const unsigned int& pid, const vetu_id_t& origSid);
// The parent pid, or -1.
int getParentPid(uint32_t pid);
// Ancestors from the parent up to init (1), or to 0.
std::vector<uint32_t> getAllParent(int pid);
