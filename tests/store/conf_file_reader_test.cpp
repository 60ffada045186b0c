#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "store/conf_file_reader.h"
#include "support/temp_tree.h"

namespace {

// Leading zeros and "0x" are taken; what exceeds the width, a sign or a
// blank is refused.
TEST(HexValueTest, AcceptedAndRefusedTexts)
{
    const auto value = [](auto convert, const std::string& text) -> std::optional<uint64_t> {
        try {
            return convert(text);
        } catch (const std::invalid_argument&) {
            return std::nullopt;
        }
    };
    // A 32-bit value is the 64-bit one where it fits, refused where not.
    const std::pair<std::string, std::optional<uint64_t>> cases[] = {
        {"00000000000000000000001", 1}, {"0x00000000ffffffff", 0xffffffff}, {"100000000", 0x100000000ull},
        {"ffffffffffffffff", UINT64_MAX}, {"10000000000000000", std::nullopt}, {"0x", std::nullopt},
        {"", std::nullopt}, {"-1", std::nullopt}, {"1 2", std::nullopt}};
    for (const auto& [text, v64] : cases) {
        EXPECT_EQ(value(hexToUint64, text), v64) << text;
        EXPECT_EQ(value(hexToUint32, text), v64 && *v64 <= UINT32_MAX ? v64 : std::nullopt) << text;
    }
}

// Blanks and CRs go anywhere in a line; a bad value ends the file there,
// keeping what came before; whether a value overflows depends on the map.
TEST(ConfFileTest, LinesCommentsAndBadValues)
{
    TempTree tree;
    const std::string wideValue = tree.file("wide.conf", "/x=100000000\n/y=1\n");
    const std::pair<std::string, std::map<std::string, uint32_t>> cases[] = {
        {tree.file("good.conf", " /opt/app = 0x10 \r\n/opt/b=10\n\n# /opt/comment=1\n #/opt/indented=2\n"
                                "/opt/noequals\n/opt/nothing=\n/o p t/c\t=\t0X1\tF\r\n/opt/b=11\n"),
         {{"/opt/app", 0x10}, {"/opt/b", 0x11}, {"#/opt/indented", 2}, {"/opt/c", 0x1f}}},
        {tree.file("bad.conf", "/a=1\n/b=2\n/c=0xZZ\n/d=4\n"), {{"/a", 1}, {"/b", 2}}},
        {wideValue, {}},
    };
    for (const auto& [file, want] : cases) {
        std::map<std::string, uint32_t> map;
        readConfFileToMap(file, map);
        EXPECT_EQ(map, want) << file;
    }
    std::map<std::string, uint64_t> wide;
    readConfFileToMap(wideValue, wide);
    EXPECT_EQ(wide, (std::map<std::string, uint64_t>{{"/x", 0x100000000ull}, {"/y", 1}}));

    std::map<std::string, uint32_t> map = {{"/kept", 1}};
    readConfFileToMap(tree.path("absent.conf"), map);
    EXPECT_EQ(map, (std::map<std::string, uint32_t>{{"/kept", 1}}));
}

}  // namespace
