#include "common/sm3_hash.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>

#include "common/logger.h"

namespace {

constexpr size_t kSm3Size = 32;
constexpr char kHexDigits[] = "0123456789abcdef";

// Fetched once: a fetch per call costs more than hashing a path.
const EVP_MD* sm3Digest()
{
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SM3", nullptr);
    return md;
}

EVP_MAC* hmacMac()
{
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

std::string toHexText(const unsigned char* bytes, size_t count)
{
    std::string text(count * 2, '0');
    for (size_t i = 0; i < count; ++i) {
        text[2 * i] = kHexDigits[bytes[i] >> 4];
        text[2 * i + 1] = kHexDigits[bytes[i] & 0x0f];
    }
    return text;
}

bool computeSM3(const std::string& data, unsigned char (&out)[kSm3Size])
{
    const EVP_MD* md = sm3Digest();
    if (md == nullptr) {
        LOG_ERROR("Unsupported hash function SM3");
        return false;
    }
    // One context per thread, reused: creating one costs as much as hashing
    // a path.
    thread_local const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> cached(EVP_MD_CTX_new(),
                                                                                   EVP_MD_CTX_free);
    EVP_MD_CTX* ctx = cached.get();
    if (ctx == nullptr) {
        LOG_ERROR("Failed to create EVP_MD_CTX");
        return false;
    }
    bool ok = false;
    unsigned int size = 0;
    if (EVP_DigestInit_ex2(ctx, md, nullptr) != 1) {
        LOG_ERROR("Failed to initialize SM3 digest context");
    } else if (EVP_DigestUpdate(ctx, data.data(), data.size()) != 1) {
        LOG_ERROR("Failed to update SM3 digest");
    } else if (EVP_DigestFinal_ex(ctx, out, &size) != 1 || size != kSm3Size) {
        LOG_ERROR("Failed to finalize SM3 digest");
    } else {
        ok = true;
    }
    return ok;
}

uint64_t readBigEndian(const unsigned char* bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

}  // namespace

std::string getSM3HashValue(const std::string& data)
{
    unsigned char digest[kSm3Size];
    if (!computeSM3(data, digest)) {
        return "";
    }
    return toHexText(digest, kSm3Size);
}

// The tail is read from the digest bytes directly; that is the number its
// last hexadecimal characters spell, without printing and parsing them.
uint64_t getSM3HashLast64Bits(const std::string& data)
{
    unsigned char digest[kSm3Size];
    if (!computeSM3(data, digest)) {
        LOG_ERROR("hash string is too short");
        return 0;
    }
    return readBigEndian(digest + kSm3Size - 8, 8);
}

uint32_t getSM3HashLast32Bits(const std::string& data)
{
    unsigned char digest[kSm3Size];
    if (!computeSM3(data, digest)) {
        LOG_ERROR("Hash string is too short");
        return 0;
    }
    return static_cast<uint32_t>(readBigEndian(digest + kSm3Size - 4, 4));
}

std::string getHMACSM3Signature(std::string_view data, const std::string& key)
{
    if (sm3Digest() == nullptr) {
        LOG_ERROR("Unsupported hash function SM3");
        return "";
    }
    EVP_MAC* mac = hmacMac();
    if (mac == nullptr) {
        LOG_ERROR("Failed to fetch HMAC MAC");
        return "";
    }
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    if (ctx == nullptr) {
        LOG_ERROR("Failed to create EVP_MAC_CTX");
        return "";
    }
    char digestName[] = "SM3";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
        OSSL_PARAM_construct_end(),
    };
    // A std::string's data() is never null, so an empty key is accepted.
    unsigned char out[64];
    size_t size = 0;
    std::string signature;
    if (EVP_MAC_init(ctx, reinterpret_cast<const unsigned char*>(key.data()), key.size(), params) != 1) {
        LOG_ERROR("Failed to initialize HMAC context");
    } else if (EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
        LOG_ERROR("Failed to update HMAC context");
    } else if (EVP_MAC_final(ctx, out, &size, sizeof(out)) != 1) {
        LOG_ERROR("Failed to finalize HMAC");
    } else {
        signature = toHexText(out, size);
    }
    EVP_MAC_CTX_free(ctx);
    return signature;
}

bool verifyHMACSM3Signature(std::string_view data, const std::string& key, const std::string& expected)
{
    const std::string computed = getHMACSM3Signature(data, key);
    if (computed.empty() || computed.size() != expected.size()) {
        return false;
    }
    return CRYPTO_memcmp(computed.data(), expected.data(), computed.size()) == 0;
}

uint32_t fnv1aHash32(const char* bytes, int length)
{
    uint32_t hash = 0x811c9dc5u;
    for (int i = 0; bytes != nullptr && i < length; ++i) {
        // Sign-extended on purpose: stored identifiers were made this way.
        hash ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(bytes[i])));
        hash *= 16777619u;
    }
    return hash;
}
