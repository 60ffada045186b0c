/* Stand-in for the exec-control library: appends one record per call to the
 * file named by VETU_EXECTL_STUB_LOG, so tests can see what the engine sent.
 * Records: "init <root> <path>", and "scanlist <root> <count>" (or
 * "update <root> <count>") followed by one "  <path>" line per path. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

/* The record is built in memory and written at once: one write per record
 * keeps records of concurrent calls whole. */
static int appendRecord(const char* kind, const char* rootmnt, const char* path, char** paths, uint32_t count)
{
    char* record = NULL;
    size_t length = 0;
    FILE* out = open_memstream(&record, &length);
    if (out == NULL) {
        return -1;
    }
    if (path != NULL) {
        fprintf(out, "%s %s %s\n", kind, rootmnt, path);
    } else {
        fprintf(out, "%s %s %u\n", kind, rootmnt, (unsigned)count);
    }
    for (uint32_t i = 0; i < count; ++i) {
        fprintf(out, "  %s\n", paths[i]);
    }
    fclose(out);
    const char* logPath = getenv("VETU_EXECTL_STUB_LOG");
    int fd = logPath == NULL ? -1 : open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ssize_t ignored = write(fd, record, length);
        (void)ignored;
        close(fd);
    }
    free(record);
    return 0;
}

int exectl_xattr_set_for_init(const char* rootmnt, const char* path)
{
    return appendRecord("init", rootmnt, path, NULL, 0);
}

int exectl_save_scanlist(const char* rootmnt, char** paths, uint32_t count)
{
    return appendRecord("scanlist", rootmnt, NULL, paths, count);
}

#ifndef EXECTL_STUB_WITHOUT_UPDATE
int exectl_save_scanlist_for_update(const char* rootmnt, char** paths, uint32_t count)
{
    return appendRecord("update", rootmnt, NULL, paths, count);
}
#endif
