/* Stand-in for the exec-control library: appends one record per call to the
 * file named by VETU_EXECTL_STUB_LOG, so tests can see what the engine sent.
 * Records: "init <root> <path>", and "scanlist <root> <count>" (or
 * "update <root> <count>") followed by one "  <path>" line per path. */
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void appendRecord(const char* text, size_t length)
{
    const char* logPath = getenv("VETU_EXECTL_STUB_LOG");
    if (logPath == NULL) {
        return;
    }
    int fd = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    /* One write per record keeps concurrent records whole. */
    ssize_t ignored = write(fd, text, length);
    (void)ignored;
    close(fd);
}

static size_t put(char* buffer, size_t at, const char* text)
{
    size_t length = strlen(text);
    memcpy(buffer + at, text, length);
    return at + length;
}

int exectl_xattr_set_for_init(const char* rootmnt, const char* path)
{
    size_t size = strlen(rootmnt) + strlen(path) + 8;
    char* record = malloc(size);
    if (record == NULL) {
        return -1;
    }
    size_t at = put(record, 0, "init ");
    at = put(record, at, rootmnt);
    at = put(record, at, " ");
    at = put(record, at, path);
    at = put(record, at, "\n");
    appendRecord(record, at);
    free(record);
    return 0;
}

static int saveScanlist(const char* kind, const char* rootmnt, char** paths, uint32_t count)
{
    size_t size = strlen(kind) + strlen(rootmnt) + 32;
    for (uint32_t i = 0; i < count; ++i) {
        size += strlen(paths[i]) + 3;
    }
    char* record = malloc(size);
    if (record == NULL) {
        return -1;
    }
    char number[16];
    int digits = 0;
    uint32_t rest = count;
    do {
        number[15 - digits++] = (char)('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    size_t at = put(record, 0, kind);
    at = put(record, at, " ");
    at = put(record, at, rootmnt);
    at = put(record, at, " ");
    memcpy(record + at, number + 16 - digits, (size_t)digits);
    at += (size_t)digits;
    at = put(record, at, "\n");
    for (uint32_t i = 0; i < count; ++i) {
        at = put(record, at, "  ");
        at = put(record, at, paths[i]);
        at = put(record, at, "\n");
    }
    appendRecord(record, at);
    free(record);
    return 0;
}

int exectl_save_scanlist(const char* rootmnt, char** paths, uint32_t count)
{
    return saveScanlist("scanlist", rootmnt, paths, count);
}

#ifndef EXECTL_STUB_WITHOUT_UPDATE
int exectl_save_scanlist_for_update(const char* rootmnt, char** paths, uint32_t count)
{
    return saveScanlist("update", rootmnt, paths, count);
}
#endif
