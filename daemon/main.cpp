// Entry point. The daemon and the one-shot jobs come with the daemon host.
#include "common/logger.h"

int main()
{
    LOG_ERROR("vetu-label-manager: not available in this build");
    return 1;
}
