#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/label_context.h"
#include "support/log_capture.h"

namespace {

// The text form as the format string of the label defines it.
std::string referencePrint(const LabelContext& c)
{
    char text[256];
    snprintf(text, sizeof(text),
             "%016" PRIx64 "-%016" PRIx64 "-%016" PRIx64 ":%08x:%016" PRIx64 "-%016" PRIx64 "-%016" PRIx64
             ":%08x:%016" PRIx64 "-%016" PRIx64 "-%016" PRIx64,
             c.sid.pkg_id, c.sid.file_id, c.sid.path_id, c.tid, c.oid.pkg_id, c.oid.file_id, c.oid.path_id,
             c.inherit_flag, c.create_oid.pkg_id, c.create_oid.file_id, c.create_oid.path_id);
    return text;
}

// The parse as one input stream per ":"-field through the public stream
// readers; a missing field fails.
int referenceParse(const std::string& text, LabelContext* c)
{
    if (text.empty()) {
        return -1;
    }
    std::istringstream fields(text);
    for (int index = 0; index < 5; ++index) {
        std::string piece;
        if (!std::getline(fields, piece, ':')) {
            return -1;
        }
        std::istringstream in(piece);
        bool ok = true;
        switch (index) {
        case 0:
            ok = readUint64(in, c->sid.pkg_id) && readUint64(in, c->sid.file_id) && readUint64(in, c->sid.path_id);
            break;
        case 1:
            ok = readUint32(in, c->tid);
            break;
        case 2:
            ok = readUint64(in, c->oid.pkg_id) && readUint64(in, c->oid.file_id) && readUint64(in, c->oid.path_id);
            break;
        case 3:
            ok = readUint32(in, c->inherit_flag);
            break;
        default:
            ok = readUint64(in, c->create_oid.pkg_id) && readUint64(in, c->create_oid.file_id) &&
                 readUint64(in, c->create_oid.path_id);
        }
        if (!ok) {
            return -1;
        }
    }
    return 0;
}

LabelContext randomContext(std::mt19937_64& rng)
{
    // Mix small numbers (leading zeros) with full-width ones.
    auto word = [&rng]() { return (rng() & 1) ? rng() : rng() >> (rng() % 64); };
    LabelContext c;
    c.sid = {word(), word(), word()};
    c.oid = {word(), word(), word()};
    c.create_oid = {word(), word(), word()};
    c.tid = static_cast<uint32_t>(word());
    c.inherit_flag = static_cast<uint32_t>(word());
    return c;
}

const char kZeroText[] =
    "0000000000000000-0000000000000000-0000000000000000:00000000:"
    "0000000000000000-0000000000000000-0000000000000000:00000000:"
    "0000000000000000-0000000000000000-0000000000000000";

TEST(LabelContextTest, PrintsFieldsInTextOrder)
{
    EXPECT_EQ(contextToString(LabelContext{}), kZeroText);
    LabelContext c;
    c.sid = {0x1, 0x2, 0x3};
    c.oid = {0xa, 0xb, 0xc};
    c.create_oid = {0xffffffffffffffffull, 0x0123456789abcdefull, 0x10};
    c.tid = 0xdeadbeef;
    c.inherit_flag = 5;
    EXPECT_EQ(contextToString(c),
              "0000000000000001-0000000000000002-0000000000000003:deadbeef:"
              "000000000000000a-000000000000000b-000000000000000c:00000005:"
              "ffffffffffffffff-0123456789abcdef-0000000000000010");
    EXPECT_EQ(toHex16(0), "0000000000000000");
    EXPECT_EQ(toHex16(0xabc), "0000000000000abc");
    EXPECT_EQ(toHex16(~0ull), "ffffffffffffffff");
}

TEST(LabelContextTest, RandomRoundTrips)
{
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        const LabelContext c = randomContext(rng);
        const std::string text = contextToString(c);
        ASSERT_EQ(text, referencePrint(c));
        ASSERT_EQ(text.size(), kLabelTextLength);
        LabelContext back;
        ASSERT_EQ(stringToContext(text, &back), 0) << text;
        ASSERT_TRUE(back == c) << text;
    }
}

TEST(LabelContextTest, LenientAndRefusedTexts)
{
    const std::string sid = "1-2-3";
    struct Case {
        std::string text;
        int rc;
        std::string message;  // the ERROR line expected ("" for none)
    };
    const std::vector<Case> cases = {
        {"", -1, "labelStr is empty."},
        {"1-2-3:4:5-6-7:8:9-a-b", 0, ""},
        {"0X1F-0xA-+c: 0x4:5-6-7:8:9-a-b", 0, ""},
        {"ABC-def-1:FFFFFFFF:5-6-7:8:9-a-b", 0, ""},
        {"1zz-2-3:4q:5-6-7:8:9-a-b", 0, ""},                  // trailing junk ignored
        {"1-2-3-4:4:5-6-7:8:9-a-b", 0, ""},                   // fourth part ignored
        {"1-2-3:4-9:5-6-7:8:9-a-b:extra:fields", 0, ""},      // tid keeps "4"
        {"1-2-3:123456789:5-6-7:8:9-a-b", 0, ""},             // low 32 bits of the tid
        {"1-2:4:5-6-7:8:9-a-b", -1, "string format error."},  // sid with two parts
        {"1-2-3:4:5-6-7:8", -1, "string format error."},      // four fields
        {"1-2-3:4:5-6-7:8:", -1, "string format error."},
        {"1-2-3:4:5-6-7:8:9-a-b-", 0, ""},
        {"1-2-3:4:5-6-7:8:9-a-", -1, "string format error."},
        {"1-2-3:4:5-6-7:8:9--b", -1, "Invalid argument: stoull."},
        {"zz-2-3:4:5-6-7:8:9-a-b", -1, "Invalid argument: stoull."},
        {"1-2-3::5-6-7:8:9-a-b", -1, "string format error."},
        {"1-2-3: :5-6-7:8:9-a-b", -1, "Invalid argument: stoul."},
        {"1-2-3:4:5-6-7:8:10000000000000000-a-b", -1, "Out of Range error: stoull."},
        {"1-2-3:10000000000000000:5-6-7:8:9-a-b", -1, "Out of Range error: stoul."},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        LabelContext parsed;
        EXPECT_EQ(stringToContext(c.text, &parsed), c.rc) << c.text;
        if (!c.message.empty()) {
            EXPECT_TRUE(capture.has(c.message, "ERROR")) << c.text << "\n" << capture.dump();
        } else {
            EXPECT_EQ(capture.lines().size(), 0u) << c.text << "\n" << capture.dump();
        }
    }

    LabelContext c;
    ASSERT_EQ(stringToContext("0X1F-0xA-+c: 0x4:5-6-7:8:9-a-b", &c), 0);
    EXPECT_EQ(c.sid, (vetu_id_t{0x1f, 0xa, 0xc}));
    EXPECT_EQ(c.tid, 4u);
    ASSERT_EQ(stringToContext("1-2-3:123456789:5-6-7:8:9-a-b", &c), 0);
    EXPECT_EQ(c.tid, 0x23456789u);
    ASSERT_EQ(stringToContext("1-2-3:4-9:5-6-7:8:9-a-b:extra", &c), 0);
    EXPECT_EQ(c.tid, 4u);
    EXPECT_EQ(c.create_oid, (vetu_id_t{9, 0xa, 0xb}));
    // Four fields whose last is sid-shaped: no field may be reused.
    EXPECT_EQ(stringToContext("1-2-3:4:5-6-7:8-9-a", &c), -1);
}

// The stream-free parser must agree with the stream readers on any text,
// including mangled labels.
TEST(LabelContextTest, ParserAgreesWithStreamReadersOnMangledTexts)
{
    std::mt19937_64 rng(777);
    const std::string alphabet = "0123456789abcdefABCDEFxX-: +\t\nzZ";
    for (int i = 0; i < 20000; ++i) {
        std::string text = contextToString(randomContext(rng));
        const int edits = 1 + rng() % 4;
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const size_t pos = rng() % text.size();
            const char ch = alphabet[rng() % alphabet.size()];
            switch (rng() % 3) {
            case 0:
                text[pos] = ch;
                break;
            case 1:
                text.insert(pos, 1, ch);
                break;
            default:
                text.erase(pos, 1 + rng() % 20);
            }
        }
        LabelContext fast;
        LabelContext slow;
        const int rcFast = stringToContext(text, &fast);
        const int rcSlow = referenceParse(text, &slow);
        ASSERT_EQ(rcFast, rcSlow) << text;
        ASSERT_TRUE(fast == slow) << text;
    }
}

// The readers convert exactly as std::stoull / std::stoul with base 16 do,
// on any token: value, "no digits" and "out of range" alike.
TEST(LabelContextTest, ReadersConvertLikeStoull)
{
    std::mt19937_64 rng(99);
    const std::string alphabet = std::string("0123456789abcdefABCDEFxXgz+ \t\n\v\r", 32) + '\0';
    std::vector<std::string> tokens = {"0x", "0x1", "+0X1f", " \t 1f", "+ 1", "0x 1", "ffffffffffffffff",
                                       "10000000000000000", "000000000000000000001", std::string("1\0" "2", 3)};
    for (int i = 0; i < 20000; ++i) {
        std::string token;
        const size_t length = rng() % 24;
        for (size_t k = 0; k < length; ++k) {
            token += (rng() % 3 == 0) ? alphabet[rng() % alphabet.size()] : "0123456789abcdef"[rng() % 16];
        }
        tokens.push_back(token);
    }
    for (const auto& token : tokens) {
        enum Outcome { kValue, kInvalid, kRange } expected = kValue;
        unsigned long long expectedValue = 0;
        try {
            expectedValue = std::stoull(token, nullptr, 16);
        } catch (const std::invalid_argument&) {
            expected = kInvalid;
        } catch (const std::out_of_range&) {
            expected = kRange;
        }
        LogCapture capture;
        std::istringstream in(token);
        uint64_t value = 12345;
        const bool ok = readUint64(in, value);
        if (token.empty()) {
            EXPECT_FALSE(ok);
            continue;
        }
        switch (expected) {
        case kValue:
            ASSERT_TRUE(ok) << token;
            ASSERT_EQ(value, expectedValue) << token;
            break;
        case kInvalid:
            ASSERT_FALSE(ok) << token;
            ASSERT_TRUE(capture.has("Invalid argument: stoull.", "ERROR")) << token;
            break;
        case kRange:
            ASSERT_FALSE(ok) << token;
            ASSERT_TRUE(capture.has("Out of Range error: stoull.", "ERROR")) << token;
            break;
        }
    }
}

TEST(LabelContextTest, StreamReadersTakeOnePieceEach)
{
    LogCapture capture;
    std::istringstream in("1f-0x20-");
    uint64_t a = 0;
    uint32_t b = 0;
    EXPECT_TRUE(readUint64(in, a));
    EXPECT_TRUE(readUint32(in, b));
    EXPECT_EQ(a, 0x1fu);
    EXPECT_EQ(b, 0x20u);
    EXPECT_FALSE(readUint64(in, a));
    EXPECT_TRUE(capture.has("string format error.", "ERROR"));
    EXPECT_EQ(a, 0x1fu);
}

}  // namespace
