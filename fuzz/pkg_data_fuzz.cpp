// pkg_file_data.bin through the signed load (each input signed with the
// fixed key, so the parser is reached): what loads stores as no more bytes
// than it had (repeats and trailing bytes drop), and that store loads and
// stores again to the same bytes.
#include <cstdlib>
#include <string>

#include "common/file_utils.h"
#include "common/paths.h"
#include "fuzz_env.h"
#include "store/vetu_restore_init.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static VetuRestoreInit store;
    fuzz_env::writeSigned(paths::kPkgFileData, paths::kPkgFileDataSig,
                          std::string(reinterpret_cast<const char*>(data), size));
    if (store.loadPkgAndFileData() != 0) {
        return 0;
    }
    if (store.storePkgAndFileData() != 0) {
        abort();
    }
    const std::string stored = readFile(paths::kPkgFileData);
    if (stored.size() > size || store.loadPkgAndFileData() != 0 || store.storePkgAndFileData() != 0 ||
        readFile(paths::kPkgFileData) != stored) {
        abort();
    }
    return 0;
}
