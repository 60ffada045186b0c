// What every fuzz target shares. Its LLVMFuzzerInitialize enters a private
// mount namespace with the program's paths on tmpfs, switches logging off,
// fixes the HMAC key and makes a scratch file for the current input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_env {

// Replaces the content of the scratch file; returns its path.
std::string scratchFile(const uint8_t* data, size_t size);

// Writes a data file and its signature under the fixed key, leaving no
// pending signature or marker behind; the signed load then reaches the parser.
void writeSigned(const char* dataPath, const char* sigPath, const std::string& bytes);

}  // namespace fuzz_env
