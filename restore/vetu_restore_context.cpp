#include "restore/vetu_restore_context.h"

VetuRestoreContext& VetuRestoreContext::getInstance()
{
    static VetuRestoreContext instance;
    return instance;
}

VetuRestoreContext::~VetuRestoreContext()
{
    closeExectlSo();
}
