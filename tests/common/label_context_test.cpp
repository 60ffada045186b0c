#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/label_context.h"

namespace {

// The parse the label format defines: std::getline per ":"-field and per
// "-"-piece, std::stoull with base 16 (the 32-bit fields keep the low bits).
int referenceParse(const std::string& text, LabelContext* c)
{
    std::vector<uint64_t> v;
    std::istringstream fields(text);
    std::string field;
    for (int width : {3, 1, 3, 1, 3}) {
        if (!std::getline(fields, field, ':')) {
            return -1;
        }
        std::istringstream pieces(field);
        std::string piece;
        for (int k = 0; k < width; ++k) {
            if (!std::getline(pieces, piece, '-')) {
                return -1;
            }
            try {
                v.push_back(std::stoull(piece, nullptr, 16));
            } catch (const std::logic_error&) {
                return -1;
            }
        }
    }
    c->sid = {v[0], v[1], v[2]};
    c->tid = static_cast<uint32_t>(v[3]);
    c->oid = {v[4], v[5], v[6]};
    c->inherit_flag = static_cast<uint32_t>(v[7]);
    c->create_oid = {v[8], v[9], v[10]};
    return 0;
}

// Small numbers (leading zeros) mixed with full-width ones.
LabelContext randomContext(std::mt19937_64& rng)
{
    auto word = [&rng]() { return (rng() & 1) ? rng() : rng() >> (rng() % 64); };
    return {{word(), word(), word()}, {word(), word(), word()}, {word(), word(), word()},
            static_cast<uint32_t>(word()), static_cast<uint32_t>(word())};
}

// The text itself is checked against labels printed by the tests' own
// formatter. The stream-free parser reads back every printed label and agrees
// with the defined parse on any text: mangled labels (short ones refused),
// numbers that stress std::stoull's rules. The create-oid reader's short cut
// for the written form agrees too, edits beside its field included.
TEST(LabelContextTest, ParserAgreesWithReferenceOnMangledTexts)
{
    const std::string written = contextToString({{1, 2, 3}, {4, 5, 6}, {0xabcdef0123456789, 8, 9}, 10, 7});
    std::vector<std::string> texts = {written, written + "-junk", written + ":extra", written.substr(0, 169),
                                      written.substr(0, 153), written.substr(0, 119), "", "::::",
                                      "1-2-3:4:5-6-7:8: 0x9-+a- b", "1-2-3:4:5-6-7:8:1ffffffffffffffff-0-0"};
    for (const auto& [pos, ch] : std::vector<std::pair<size_t, char>>{
             {125, 'F'}, {125, 'g'}, {126, 'G'}, {127, '@'}, {128, '`'}, {129, '/'}, {129, ':'}, {130, '\0'},
             {131, '\xc1'}, {3, 'x'}, {136, ':'}, {50, '-'}}) {
        texts.push_back(written);
        texts.back()[pos] = ch;
    }
    for (const std::string token : {"0x", "0x1", "+0X1f", " \t 1f", "+ 1", "0x 1", "-1", "ffffffffffffffff",
                                    "10000000000000000", "000000000000000000001", "0xg"}) {
        texts.push_back(token + "-2-3:" + token + ":5-6-7:8:9-a-b");
    }
    texts.push_back(std::string("1\0" "2-2-3:4:5-6-7:8:9-a-b", 23));
    std::mt19937_64 rng(777);
    const std::string alphabet = std::string("0123456789abcdefABCDEFxX-: +\t\n\v\rzZ") + '\0';
    for (int i = 0; i < 30000; ++i) {
        const LabelContext printed = randomContext(rng);
        std::string text = contextToString(printed);
        LabelContext back;
        ASSERT_TRUE(text.size() == kLabelTextLength && stringToContext(text, &back) == 0 && back == printed) << text;
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
        texts.push_back(text);
    }
    for (const auto& text : texts) {
        LabelContext fast;
        LabelContext slow;
        vetu_id_t createOid{0x11, 0x22, 0x33};
        const int rc = referenceParse(text, &slow);
        ASSERT_EQ(stringToContext(text, &fast), rc) << text;
        ASSERT_TRUE(rc != 0 || fast == slow) << text;
        ASSERT_EQ(stringToCreateOid(text, &createOid), rc) << text;
        ASSERT_EQ(createOid, (rc == 0 ? slow.create_oid : vetu_id_t{0x11, 0x22, 0x33})) << text;
    }
}

}  // namespace
