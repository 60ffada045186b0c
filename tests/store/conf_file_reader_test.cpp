#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "store/conf_file_reader.h"
#include "support/temp_tree.h"

namespace {

template <typename Convert>
std::string conversionError(Convert convert, const std::string& text)
{
    try {
        convert(text);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

TEST(HexValueTest, AcceptedAndRefusedTexts)
{
    struct Case {
        std::string text;
        uint64_t value;       // when the error is empty
        std::string error64;  // of hexToUint64
        std::string error32;  // of hexToUint32
    };
    const std::string invalid = "Invalid number format";
    const std::string failed = "Conversion failed";
    const Case cases[] = {
        {"00000000000000000000001", 1, "", ""},
        {"0x00000000ffffffff", 0xffffffff, "", ""},
        {"100000000", 0x100000000ull, "", failed},
        {"ffffffffffffffff", UINT64_MAX, "", failed},
        {"10000000000000000", 0, failed, failed},
        {"0x", 0, failed, failed},
        {"", 0, invalid, invalid},
        {"-1", 0, invalid, invalid},
        {"1 2", 0, invalid, invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(conversionError(hexToUint64, c.text), c.error64);
        EXPECT_EQ(conversionError(hexToUint32, c.text), c.error32);
        if (c.error64.empty()) {
            EXPECT_EQ(hexToUint64(c.text), c.value);
        }
        if (c.error32.empty()) {
            EXPECT_EQ(hexToUint32(c.text), c.value);
        }
    }
}

// Blanks and CRs go anywhere in a line; a bad value ends the file there,
// keeping what came before; whether a value overflows depends on the map.
TEST(ConfFileTest, LinesCommentsAndBadValues)
{
    TempTree tree;
    const std::string good = tree.file("good.conf",
                                       " /opt/app = 0x10 \r\n/opt/b=10\n\n# /opt/comment=1\n #/opt/indented=2\n"
                                       "/opt/noequals\n/opt/nothing=\n/o p t/c\t=\t0X1\tF\r\n/opt/b=11\n");
    std::map<std::string, uint32_t> map;
    readConfFileToMap(good, map);
    EXPECT_EQ(map, (std::map<std::string, uint32_t>{
                       {"/opt/app", 0x10}, {"/opt/b", 0x11}, {"#/opt/indented", 2}, {"/opt/c", 0x1f}}));

    map.clear();
    readConfFileToMap(tree.file("bad.conf", "/a=1\n/b=2\n/c=0xZZ\n/d=4\n"), map);
    EXPECT_EQ(map, (std::map<std::string, uint32_t>{{"/a", 1}, {"/b", 2}}));

    const std::string wideValue = tree.file("wide.conf", "/x=100000000\n/y=1\n");
    map.clear();
    readConfFileToMap(wideValue, map);
    EXPECT_TRUE(map.empty());
    std::map<std::string, uint64_t> wide;
    readConfFileToMap(wideValue, wide);
    EXPECT_EQ(wide, (std::map<std::string, uint64_t>{{"/x", 0x100000000ull}, {"/y", 1}}));

    map = {{"/kept", 1}};
    readConfFileToMap(tree.path("absent.conf"), map);
    EXPECT_EQ(map, (std::map<std::string, uint32_t>{{"/kept", 1}}));
}

}  // namespace
