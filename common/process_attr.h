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
// Field `field` of a /proc/<pid>/stat text, numbered as in proc(5) (3 is the
// state); "" when the text has no such field.
std::string statTextField(const std::string& stat, int field);
// The same field of the process's own file, read whole; "" when unreadable.
std::string procStatField(uint32_t pid, int field);
// The parent pid, or -1.
int getParentPid(uint32_t pid);
// Ancestors from the parent up to init (1), or to 0.
std::vector<uint32_t> getAllParent(int pid);
