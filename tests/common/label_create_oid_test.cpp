#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/label_context.h"
#include "support/log_capture.h"

namespace {

const std::string kWritten = contextToString({{1, 2, 3}, {4, 5, 6}, {0xabcdef0123456789, 8, 9}, 10, 7});

std::string withByte(std::string text, size_t at, char byte)
{
    text[at] = byte;
    return text;
}

struct Outcome {
    int result;
    vetu_id_t createOid;
    std::vector<std::string> messages;
};

template <typename Parse>
Outcome outcome(Parse parse)
{
    LogCapture log;
    Outcome out{};
    out.createOid = {0x11, 0x22, 0x33};
    out.result = parse(out.createOid);
    for (const auto& line : log.lines()) {
        out.messages.push_back(line.level + " " + stripLogPrefix(line.message));
    }
    return out;
}

}  // namespace

// The field reader takes a short cut for the written form only: on every
// text it agrees with the full parser in result, value and messages.
TEST(LabelCreateOidTest, AgreesWithTheFullParser)
{
    const std::string texts[] = {
        kWritten,
        withByte(kWritten, 125, 'F'),                   // upper case digit
        withByte(kWritten, 125, 'g'),                   // not a digit, in the field
        withByte(kWritten, 126, 'G'),                   // the neighbours of the digit ranges
        withByte(kWritten, 127, '@'),
        withByte(kWritten, 128, '`'),
        withByte(kWritten, 129, '/'),
        withByte(kWritten, 129, ':'),
        withByte(kWritten, 131, '\xc1'),
        withByte(kWritten, 3, 'x'),                     // not a digit, before the field
        withByte(kWritten, 136, ':'),                   // separator moved
        withByte(kWritten, 50, '-'),                    // field separator lost
        withByte(kWritten, 130, '\0'),                  // NUL inside the field
        kWritten + "-junk",                             // text after the last piece
        kWritten + ":extra",                            // a sixth field
        kWritten.substr(0, 169),                        // one digit short
        kWritten.substr(0, 153),                        // last piece missing
        kWritten.substr(0, 119),                        // fifth field missing
        "1-2-3:4:5-6-7:8: 0x9-+a- b",                   // lenient numbers
        "1-2-3:4:5-6-7:8:1ffffffffffffffff-0-0",        // overflow
        "",
        "::::",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        const Outcome fast = outcome([&](vetu_id_t& id) { return stringToCreateOid(text, &id); });
        const Outcome full = outcome([&](vetu_id_t& id) {
            LabelContext context;
            const int result = stringToContext(text, &context);
            if (result == 0) {
                id = context.create_oid;
            }
            return result;
        });
        EXPECT_EQ(fast.result, full.result);
        EXPECT_EQ(fast.createOid, full.createOid);
        EXPECT_EQ(fast.messages, full.messages);
    }
    vetu_id_t id;
    ASSERT_EQ(stringToCreateOid(kWritten, &id), 0);
    EXPECT_EQ(id, (vetu_id_t{0xabcdef0123456789, 8, 9}));
}
