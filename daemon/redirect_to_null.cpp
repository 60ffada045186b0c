#include "daemon/redirect_to_null.h"

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
