// The label attribute "security.vetu" of files, directories and links.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/label_context.h"

constexpr const char kLabelXattrName[] = "security.vetu";

// Access modes: 1 and 2 for a file or directory (a symbolic link is refused
// with ELOOP), 3 for a symbolic link itself. No mode ever opens the object
// for reading, so FIFOs, sockets and device nodes are safe to label.
constexpr int kXattrModeFile = 1;
constexpr int kXattrModeLink = 3;

// One read of a path's label attribute, without following the path, parsed
// when asked: a caller may read early and parse only if it needs the label.
struct LabelXattrRead {
    static constexpr size_t kMaxSize = 1024;

    // errno of the read, 0 when it succeeded.
    int err = 0;
    ssize_t size = -1;
    // One byte more than the largest value read, for the terminator.
    char value[kMaxSize + 1];

    void read(const char* path);
    // The label read; -1 (logged) when the read failed or the text is no label.
    int parse(const char* path, LabelContext* context);
    // Its create_oid alone, with the results and messages of parse.
    int parseCreateOid(const char* path, vetu_id_t* createOid);

private:
    // The text read (up to a NUL, as a C string); false (logged) when none.
    bool text(const char* path, std::string_view& out);
};

int getFileLabelFromXattr(const char* path, LabelContext* context, int mode);
int setFileLabelToXattr(const char* path, const LabelContext* context, int mode);
// The same in mode 1 for a path the caller has just found to be no link,
// without looking at it again. A path gone meanwhile gives the messages of
// the check.
int getCheckedFileLabelFromXattr(const char* path, LabelContext* context);
int setCheckedFileLabelToXattr(const char* path, const LabelContext* context);
// Writes text as the label of path, not following it; -1 (logged as above).
int writeLabelText(const char* path, std::string_view text);
int getFileSidFromXattr(const char* path, vetu_id_t* sid, unsigned int mode);
int getFileCreateOidFromXattr(const char* path, vetu_id_t* createOid, unsigned int mode);
