// The label attribute "security.vetu" of files, directories and links.
#pragma once

#include "common/label_context.h"

constexpr const char kLabelXattrName[] = "security.vetu";

// Access modes: 1 and 2 for a file or directory (a symbolic link is refused
// with ELOOP), 3 for a symbolic link itself. No mode ever opens the object
// for reading, so FIFOs, sockets and device nodes are safe to label.
constexpr int kXattrModeFile = 1;
constexpr int kXattrModeLink = 3;

int getFileLabelFromXattr(const char* path, LabelContext* context, int mode);
int setFileLabelToXattr(const char* path, const LabelContext* context, int mode);
int getFileSidFromXattr(const char* path, vetu_id_t* sid, unsigned int mode);
int getFileCreateOidFromXattr(const char* path, vetu_id_t* createOid, unsigned int mode);
