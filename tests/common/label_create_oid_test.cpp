#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/label_context.h"
#include "support/log_capture.h"

// The field reader takes a short cut for the written form only: on every
// text it agrees with the full parser in result, value and messages.
TEST(LabelCreateOidTest, AgreesWithTheFullParser)
{
    const std::string written = contextToString({{1, 2, 3}, {4, 5, 6}, {0xabcdef0123456789, 8, 9}, 10, 7});
    std::vector<std::string> texts = {written + "-junk", written + ":extra", written.substr(0, 169),
                                      written.substr(0, 153), written.substr(0, 119), "", "::::",
                                      "1-2-3:4:5-6-7:8: 0x9-+a- b", "1-2-3:4:5-6-7:8:1ffffffffffffffff-0-0"};
    // Bytes next to the digit ranges and moved separators, in and before the field.
    const std::pair<size_t, char> edits[] = {{125, 'F'}, {125, 'g'}, {126, 'G'}, {127, '@'}, {128, '`'},
                                             {129, '/'}, {129, ':'}, {130, '\0'}, {131, '\xc1'}, {3, 'x'},
                                             {136, ':'}, {50, '-'}};
    for (const auto& edit : edits) {
        texts.push_back(written);
        texts.back()[edit.first] = edit.second;
    }
    texts.push_back(written);
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        vetu_id_t fast{0x11, 0x22, 0x33};
        LabelContext full;
        LogCapture log;
        const int result = stringToCreateOid(text, &fast);
        ASSERT_EQ(result, stringToContext(text, &full));
        EXPECT_EQ(fast, result == 0 ? full.create_oid : (vetu_id_t{0x11, 0x22, 0x33}));
        const auto lines = log.lines();
        ASSERT_EQ(lines.size() % 2, 0u);
        for (size_t i = 0; i < lines.size() / 2; ++i) {
            EXPECT_EQ(stripLogPrefix(lines[i].message), stripLogPrefix(lines[i + lines.size() / 2].message));
        }
    }
    EXPECT_EQ(texts.back(), written);
}
