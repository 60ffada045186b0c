#include <gtest/gtest.h>

#include <string>

#include "common/sm3_hash.h"

// Published vectors, and HMACs computed apart from this code: a key longer
// than a block, a binary key, and nothing at all. Verify takes only the exact
// lowercase text made with the same key.
TEST(Sm3HashTest, DigestsAndHmacsMatchKnownValuesAndVerify)
{
    EXPECT_EQ(getSM3HashValue("abc"), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    EXPECT_EQ(getSM3HashValue("abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd"),
              "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
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
    const std::string sig = cases[0][2];
    for (const std::string& bad : {std::string("28E63256E7C5A087B1F073265DC53092163F7B82729735D06F28F10AF9D52393"),
                                   sig.substr(0, 63), sig + "0", std::string()}) {
        EXPECT_FALSE(verifyHMACSM3Signature("abc", "key", bad)) << bad;
    }
    EXPECT_FALSE(verifyHMACSM3Signature("abc", "other key", sig));
}

TEST(Sm3HashTest, Fnv1aSignExtendsHighBytes)
{
    EXPECT_EQ(fnv1aHash32(nullptr, 5), 0x811c9dc5u);
    EXPECT_EQ(fnv1aHash32("foobar", 6), 0xbf9cf968u);  // published FNV-1a
    const char high = static_cast<char>(0xff);
    EXPECT_EQ(fnv1aHash32(&high, 1), 0xf9f3a14eu);  // zero-extended it would be 0x7a0b824e
}
