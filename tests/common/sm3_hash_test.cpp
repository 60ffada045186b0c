#include <gtest/gtest.h>

#include <string>

#include "common/sm3_hash.h"

namespace {

// Published vectors, and HMACs computed apart from this code: a key longer
// than a block, a binary key, and nothing at all.
TEST(Sm3HashTest, DigestsAndHmacsMatchKnownValuesAndVerify)
{
    EXPECT_EQ(getSM3HashValue("abc"), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    std::string abcd16;
    for (int i = 0; i < 16; ++i) {
        abcd16 += "abcd";
    }
    EXPECT_EQ(getSM3HashValue(abcd16), "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
    const std::string data = std::string(1000, 'd') + std::string("\0tail", 5);
    const std::string cases[][3] = {
        {"abc", "key", "28e63256e7c5a087b1f073265dc53092163f7b82729735d06f28f10af9d52393"},
        {data, std::string(100, 'k'), "56983ebee96575390a07fad4bdedd193692d964f0a309e9a17c30386a8757240"},
        {data, std::string("\x00\x01\xff\x80 key", 8), "4f086ae168a0a9eda6876114fc1a73d14a2ead88116de01075b0be17da751c8e"},
        {"", "", "0d23f72ba15e9c189a879aefc70996b06091de6e64d31b7a84004356dd915261"},
    };
    for (const auto& [text, key, sig] : cases) {
        EXPECT_EQ(getHMACSM3Signature(text, key), sig) << "key size " << key.size();
        EXPECT_TRUE(verifyHMACSM3Signature(text, key, sig));
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
