#include "daemon/redirect_to_null.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/logger.h"
#include "common/paths.h"

int redirectToNull()
{
    if (freopen(paths::kDevNull, "r", stdin) == nullptr) {
        LOG_ERROR("redirect stdin to /dev/null failed.");
        return -1;
    }
    if (freopen(paths::kDevNull, "w", stdout) == nullptr) {
        LOG_ERROR("redirect stdout to /dev/null failed.");
        return -1;
    }
    if (freopen(paths::kDevNull, "w", stderr) == nullptr) {
        LOG_ERROR("redirect stderr to /dev/null failed.");
        return -1;
    }
    return 0;
}

void openClosedStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free number is fd, the ones below being open; a
            // failure is met again, and reported, by redirectToNull.
            const int opened = open(paths::kDevNull, fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                close(opened);
            }
        }
    }
}
