// SM3 digests and HMAC-SM3 signatures. Identifiers are the tails of SM3
// digests of names; the signed data files carry an HMAC-SM3.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// 64 lowercase hexadecimal characters; "" on failure.
std::string getSM3HashValue(const std::string& data);
// Digest bytes 24..31 (big-endian); 0 on failure.
uint64_t getSM3HashLast64Bits(const std::string& data);
// Digest bytes 28..31 (big-endian); 0 on failure.
uint32_t getSM3HashLast32Bits(const std::string& data);

// HMAC-SM3 of data under key as 64 lowercase hexadecimal characters; "" on failure.
std::string getHMACSM3Signature(std::string_view data, const std::string& key);
// Constant-time, case-sensitive comparison with the expected text.
bool verifyHMACSM3Signature(std::string_view data, const std::string& key, const std::string& expected);

// 32-bit FNV-1a whose bytes are sign-extended before the XOR.
uint32_t fnv1aHash32(const char* bytes, int length);
