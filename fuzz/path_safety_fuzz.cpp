// The path safety check on arbitrary bytes, with the lexical tests only (the
// file-system tests are off): a path that passes has none of the shapes the
// check exists to refuse, and refusing wildcards never lets more through.
#include <cstdlib>
#include <string>

#include "common/path_safety.h"
#include "fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path(reinterpret_cast<const char*>(data), size);
    const bool safe = isFilePathSafe(path, true, true, true);
    const bool safeWithoutWildcards = isFilePathSafe(path, true, false, true);
    if (safeWithoutWildcards && !safe) {
        abort();
    }
    if (!safe) {
        return 0;
    }
    bool refusable = path.empty() || path.size() >= 4096 || path[0] != '/' ||
                           path.find("//") != std::string::npos || path.find("/..") != std::string::npos ||
                           path.find("../") != std::string::npos || path.find('\0') != std::string::npos ||
                           path.find_first_of("\\:\"<>|\n\t\x7f") != std::string::npos ||
                           (path.size() > 1 && path.compare(0, 2, "/.") == 0);
    for (const char c : path) {
        refusable = refusable || (c > 0 && c < 0x20);
    }
    if (refusable) {
        abort();
    }
    return 0;
}
