// The key=hex configuration files: read as a file into both map kinds, keys
// without blanks; each value read both ways must agree (a 32-bit value is the
// 64-bit one when it fits, and refused when it does not) and print back.
#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "fuzz_env.h"
#include "store/conf_file_reader.h"

namespace {

template <typename T>
bool parses(T (*convert)(const std::string&), const std::string& text, T& value)
{
    try {
        value = convert(text);
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    }
}

bool hasSpace(const std::string& text)
{
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = fuzz_env::scratchFile(data, size);
    std::map<std::string, uint32_t> narrow;
    std::map<std::string, uint64_t> wide;
    readConfFileToMap(path, narrow);
    readConfFileToMap(path, wide);
    for (const auto& entry : narrow) {
        if (hasSpace(entry.first)) {
            abort();
        }
    }
    for (const auto& entry : wide) {
        if (hasSpace(entry.first)) {
            abort();
        }
    }
    std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    while (std::getline(lines, line)) {
        const std::string text = line.substr(line.find('=') == std::string::npos ? 0 : line.find('=') + 1);
        uint32_t value32 = 0;
        uint64_t value64 = 0;
        const bool ok32 = parses(&hexToUint32, text, value32);
        const bool ok64 = parses(&hexToUint64, text, value64);
        if (ok32 != (ok64 && value64 <= 0xffffffffu) || (ok32 && value32 != value64)) {
            abort();
        }
        std::ostringstream printed;
        printed << "0x" << std::hex << value64;
        if (ok64 && (!parses(&hexToUint64, printed.str(), value64) || value64 != hexToUint64(text))) {
            abort();
        }
    }
    return 0;
}
