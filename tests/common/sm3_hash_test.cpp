#include <gtest/gtest.h>

#include <string>

#include "common/sm3_hash.h"

namespace {

const std::string kAbcDigest = "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0";

std::string fromHex(const std::string& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// HMAC built by hand from the plain digest (RFC 2104, 64-byte SM3 block).
std::string referenceHmac(const std::string& data, std::string key)
{
    if (key.size() > 64) {
        key = fromHex(getSM3HashValue(key));
    }
    key.resize(64, '\0');
    std::string inner(64, '\0');
    std::string outer(64, '\0');
    for (size_t i = 0; i < 64; ++i) {
        inner[i] = static_cast<char>(key[i] ^ 0x36);
        outer[i] = static_cast<char>(key[i] ^ 0x5c);
    }
    return getSM3HashValue(outer + fromHex(getSM3HashValue(inner + data)));
}

TEST(Sm3HashTest, HmacMatchesPublishedAndHandBuiltValuesAndVerifies)
{
    EXPECT_EQ(getSM3HashValue("abc"), kAbcDigest);
    EXPECT_EQ(getHMACSM3Signature("abc", "key"), "28e63256e7c5a087b1f073265dc53092163f7b82729735d06f28f10af9d52393");
    const std::string longKey(100, 'k');  // longer than a block: hashed first
    const std::string binaryKey("\x00\x01\xff\x80 key", 8);
    const std::string data = std::string(1000, 'd') + std::string("\0tail", 5);
    struct Case {
        std::string data;
        std::string key;
    };
    for (const Case& c : {Case{data, longKey}, Case{data, binaryKey}, Case{"", ""}, Case{"", std::string(64, 'x')}}) {
        const std::string sig = getHMACSM3Signature(c.data, c.key);
        EXPECT_EQ(sig, referenceHmac(c.data, c.key)) << "key size " << c.key.size();
        EXPECT_TRUE(verifyHMACSM3Signature(c.data, c.key, sig));
    }
    // Verify takes only the exact lowercase text.
    const std::string sig = getHMACSM3Signature("data", "key");
    std::string upper = sig;
    for (auto& ch : upper) {
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    }
    ASSERT_NE(upper, sig);
    for (const std::string& expected : {upper, sig.substr(0, 63), sig + "0", std::string()}) {
        EXPECT_FALSE(verifyHMACSM3Signature("data", "key", expected)) << expected;
    }
    EXPECT_FALSE(verifyHMACSM3Signature("data", "other key", sig));
}

TEST(Sm3HashTest, Fnv1aSignExtendsHighBytes)
{
    EXPECT_EQ(fnv1aHash32(nullptr, 5), 0x811c9dc5u);
    EXPECT_EQ(fnv1aHash32("foobar", 6), 0xbf9cf968u);  // published FNV-1a
    const char high = static_cast<char>(0xff);
    EXPECT_EQ(fnv1aHash32(&high, 1), 0xf9f3a14eu);
    EXPECT_NE(fnv1aHash32(&high, 1), 0x7a0b824eu);  // the zero-extended value
}

}  // namespace
