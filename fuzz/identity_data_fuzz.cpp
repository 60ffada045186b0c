// memory_data.json through the signed load (each input signed with the
// fixed key, so the parser is reached): what loads stores as text that loads
// back to the same maps and stores to the same bytes.
#include <cstdlib>
#include <string>

#include "common/paths.h"
#include "fuzz_env.h"
#include "store/identity_data_file.h"
#include "store/vetu_restore_init.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static VetuRestoreInit store;
    fuzz_env::writeSigned(paths::kIdentityData, paths::kIdentityDataSig,
                          std::string(reinterpret_cast<const char*>(data), size));
    if (store.loadIndentityData() != 0) {
        return 0;
    }
    std::string stored;
    std::string again;
    std::string error;
    IdentityMaps reloaded;
    if (saveIdentityDataJson(store, stored, error) != 0 || loadIdentityDataJson(stored, reloaded, error) != 0 ||
        saveIdentityDataJson(reloaded, again, error) != 0 || again != stored) {
        abort();
    }
    return 0;
}
