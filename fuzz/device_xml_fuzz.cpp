// The device-type file through the store's reader, TinyXML and the nesting
// bound included; the table is emptied after each input.
#include <string>
#include <vector>

#include "fuzz_env.h"
#include "store/vetu_restore_init.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static VetuRestoreInit store;
    const std::string path = fuzz_env::scratchFile(data, size);
    store.readDeviceTypeInfo(path.c_str());
    store.m_vecDeviceTypeInfo.update([](std::vector<DeviceTypeInfo>& table) { table.clear(); });
    return 0;
}
