#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>
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

TEST(Sm3HashTest, PublishedVectors)
{
    EXPECT_EQ(getSM3HashValue("abc"), kAbcDigest);
    std::string abcd16;
    for (int i = 0; i < 16; ++i) {
        abcd16 += "abcd";
    }
    EXPECT_EQ(getSM3HashValue(abcd16), "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
    // Zero bytes have a digest of their own, not a failure.
    EXPECT_EQ(getSM3HashValue(""), "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b");
    // Embedded NUL bytes are hashed, not cut off.
    EXPECT_NE(getSM3HashValue(std::string("a\0b", 3)), getSM3HashValue("a"));
}

// The tails are the digest's last bytes read big-endian, i.e. the number
// spelled by the last hexadecimal characters.
TEST(Sm3HashTest, TailsAreBigEndianLastBytes)
{
    EXPECT_EQ(getSM3HashLast64Bits("abc"), 0x297da02b8f4ba8e0ull);
    EXPECT_EQ(getSM3HashLast32Bits("abc"), 0x8f4ba8e0u);
    for (const std::string data : {"", "/usr/bin/bash", "bash", "a-package-name", "\xff\xfe"}) {
        const std::string hex = getSM3HashValue(data);
        ASSERT_EQ(hex.size(), 64u);
        EXPECT_EQ(getSM3HashLast64Bits(data), std::stoull(hex.substr(48), nullptr, 16)) << data;
        EXPECT_EQ(getSM3HashLast32Bits(data), std::stoul(hex.substr(56), nullptr, 16)) << data;
    }
}

TEST(Sm3HashTest, HmacMatchesPublishedAndHandBuiltValues)
{
    EXPECT_EQ(getHMACSM3Signature("abc", "key"), "28e63256e7c5a087b1f073265dc53092163f7b82729735d06f28f10af9d52393");
    const std::string longKey(100, 'k');  // longer than a block: hashed first
    const std::string binaryKey("\x00\x01\xff\x80 key", 8);
    const std::string data = std::string(1000, 'd') + std::string("\0tail", 5);
    struct Case {
        std::string data;
        std::string key;
    };
    for (const Case& c : {Case{"abc", "key"}, Case{data, longKey}, Case{data, binaryKey}, Case{"", ""},
                          Case{"payload", ""}, Case{"", std::string(64, 'x')}}) {
        const std::string sig = getHMACSM3Signature(c.data, c.key);
        EXPECT_EQ(sig, referenceHmac(c.data, c.key)) << "key size " << c.key.size();
        EXPECT_TRUE(verifyHMACSM3Signature(c.data, c.key, sig));
    }
}

TEST(Sm3HashTest, VerifyRefusesAnythingButTheExactText)
{
    const std::string sig = getHMACSM3Signature("data", "key");
    ASSERT_EQ(sig.size(), 64u);
    std::string upper = sig;
    for (auto& ch : upper) {
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    }
    ASSERT_NE(upper, sig);
    std::string flipped = sig;
    flipped[10] = flipped[10] == '0' ? '1' : '0';
    for (const std::string& expected : {upper, sig.substr(0, 63), sig + "0", flipped, std::string()}) {
        EXPECT_FALSE(verifyHMACSM3Signature("data", "key", expected)) << expected;
    }
    EXPECT_FALSE(verifyHMACSM3Signature("data", "other key", sig));
    EXPECT_FALSE(verifyHMACSM3Signature("Data", "key", sig));
}

// Identifiers are derived on many threads at once; each must get the value
// a single thread computes.
TEST(Sm3HashTest, ConcurrentHashesAgree)
{
    std::vector<std::string> paths;
    std::vector<uint64_t> expected;
    for (int i = 0; i < 64; ++i) {
        paths.push_back("/usr/share/doc/package-" + std::to_string(i) + "/copyright");
        expected.push_back(getSM3HashLast64Bits(paths.back()));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t]() {
            for (int round = 0; round < 50; ++round) {
                for (size_t i = 0; i < paths.size(); ++i) {
                    const size_t k = (i + static_cast<size_t>(t)) % paths.size();
                    if (getSM3HashLast64Bits(paths[k]) != expected[k] ||
                        getHMACSM3Signature(paths[k], "key").size() != 64) {
                        ++mismatches;
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Sm3HashTest, Fnv1aSignExtendsHighBytes)
{
    EXPECT_EQ(fnv1aHash32("", 0), 0x811c9dc5u);
    EXPECT_EQ(fnv1aHash32(nullptr, 5), 0x811c9dc5u);
    EXPECT_EQ(fnv1aHash32("foobar", 6), 0xbf9cf968u);  // published FNV-1a
    EXPECT_EQ(fnv1aHash32("foobar", 3), fnv1aHash32("foo", 3));
    const char high = static_cast<char>(0xff);
    EXPECT_EQ(fnv1aHash32(&high, 1), 0xf9f3a14eu);
    EXPECT_NE(fnv1aHash32(&high, 1), 0x7a0b824eu);  // the zero-extended value
}

}  // namespace
