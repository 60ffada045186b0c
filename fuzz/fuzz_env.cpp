#include "fuzz_env.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/file_utils.h"
#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/hmac_key.h"
#include "support/sandbox.h"

namespace fuzz_env {

namespace {

// Nothing below FATAL is written: the targets log on every bad input.
const char kQuietLogging[] =
    "log4cpp.rootCategory=FATAL, A\n"
    "log4cpp.appender.A=FileAppender\n"
    "log4cpp.appender.A.fileName=/var/log/vetu/fuzz.log\n"
    "log4cpp.appender.A.layout=BasicLayout\n"
    "log4cpp.category.INFO=FATAL, A\n";

const std::string kKey = "fuzz-key-0123456789abcdef0123456";  // 32 bytes

int g_scratch = -1;

[[noreturn]] void die(const char* what)
{
    perror(what);
    abort();
}

}  // namespace

}  // namespace fuzz_env

// Runs before libFuzzer starts any thread.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    using namespace fuzz_env;
    sandbox::enter();
    std::filesystem::create_directories(paths::kDataDir);
    std::filesystem::create_directories(paths::kLogDir);
    if (!writeFile(paths::kLogProperties, kQuietLogging) || !writeFile(paths::kHmacKey, kKey) ||
        chmod(paths::kHmacKey, 0600) != 0) {
        die("fuzz set-up");
    }
    if (getHmacKey() != kKey) {
        die("fixed key");
    }
    g_scratch = memfd_create("fuzz-input", MFD_CLOEXEC);
    if (g_scratch < 0) {
        die("memfd_create");
    }
    return 0;
}

namespace fuzz_env {

std::string scratchFile(const uint8_t* data, size_t size)
{
    if (ftruncate(g_scratch, 0) != 0 ||
        (size > 0 && pwrite(g_scratch, data, size, 0) != static_cast<ssize_t>(size))) {
        die("scratch write");
    }
    return "/proc/self/fd/" + std::to_string(g_scratch);
}

void writeSigned(const char* dataPath, const char* sigPath, const std::string& bytes)
{
    for (const char* stale : {paths::kPkgFileDataSigPending, paths::kIdentityDataSigPending,
                              paths::kPkgMigrationMarker, paths::kIdentityMigrationMarker}) {
        unlink(stale);
    }
    if (!writeFile(dataPath, bytes) || !writeFile(sigPath, getHMACSM3Signature(bytes, kKey))) {
        die("signed input");
    }
}

}  // namespace fuzz_env
