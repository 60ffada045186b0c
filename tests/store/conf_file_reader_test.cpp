#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

#include "store/conf_file_reader.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

namespace {

std::string conversionError(const std::function<void()>& convert)
{
    try {
        convert();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

TEST(HexValueTest, AcceptedAndRefusedTexts)
{
    struct Case {
        std::string text;
        uint64_t value;     // when error is empty
        std::string error;  // for hexToUint64
    };
    const Case cases[] = {
        {"10", 0x10, ""},
        {"0x10", 0x10, ""},
        {"0XfF", 0xff, ""},
        {"0", 0, ""},
        {"00000000000000000000001", 1, ""},
        {"ffffffffffffffff", UINT64_MAX, ""},
        {"10000000000000000", 0, "Conversion failed"},
        {"0x", 0, "Conversion failed"},
        {"", 0, "Invalid number format"},
        {"0xZZ", 0, "Invalid number format"},
        {"x10", 0, "Invalid number format"},
        {"-1", 0, "Invalid number format"},
        {"+1", 0, "Invalid number format"},
        {"1 2", 0, "Invalid number format"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.error.empty()) {
            EXPECT_EQ(hexToUint64(c.text), c.value);
        } else {
            EXPECT_EQ(conversionError([&] { hexToUint64(c.text); }), c.error);
        }
    }
}

TEST(HexValueTest, ThirtyTwoBitLimit)
{
    EXPECT_EQ(hexToUint32("ffffffff"), 0xffffffffu);
    EXPECT_EQ(hexToUint32("0x00000000ffffffff"), 0xffffffffu);
    EXPECT_EQ(conversionError([] { hexToUint32("100000000"); }), "Conversion failed");
    EXPECT_EQ(hexToUint64("100000000"), 0x100000000ull);
}

class ConfFileTest : public ::testing::Test {
protected:
    std::string write(const std::string& content) { return tree.file("label.conf", content); }
    TempTree tree;
    LogCapture log;
};

TEST_F(ConfFileTest, BlanksCarriageReturnsAndComments)
{
    const std::string file = write(
        " /opt/app = 0x10 \r\n"
        "/opt/b=10\n"
        "\n"
        "# /opt/comment=1\n"
        " #/opt/indented=2\n"
        "/opt/noequals\n"
        "/opt/nothing=\n"
        "/o p t/c\t=\t0X1\tF\r\n"
        "/opt/b=11\n");
    std::map<std::string, uint32_t> map;
    readConfFileToMap(file, map);
    const std::map<std::string, uint32_t> expected = {
        {"/opt/app", 0x10}, {"/opt/b", 0x11}, {"#/opt/indented", 2}, {"/opt/c", 0x1f}};
    EXPECT_EQ(map, expected);
}

TEST_F(ConfFileTest, BadValueStopsTheFileAndKeepsEarlierEntries)
{
    const std::string file = write("/a=1\n/b=2\n/c=0xZZ\n/d=4\n");
    std::map<std::string, uint32_t> map;
    readConfFileToMap(file, map);
    EXPECT_EQ(map, (std::map<std::string, uint32_t>{{"/a", 1}, {"/b", 2}}));
    EXPECT_TRUE(log.has("get /c value failed. Invalid number format", "ERROR")) << log.dump();
}

TEST_F(ConfFileTest, BlankValueCountsAsBad)
{
    const std::string file = write("/a=1\n/b= \t\r\n/c=3\n");
    std::map<std::string, uint64_t> map;
    readConfFileToMap(file, map);
    EXPECT_EQ(map, (std::map<std::string, uint64_t>{{"/a", 1}}));
    EXPECT_TRUE(log.has("get /b value failed. Invalid number format", "ERROR"));
}

TEST_F(ConfFileTest, OverflowDependsOnTheMapsWidth)
{
    const std::string file = write("/x=100000000\n/y=1\n");
    std::map<std::string, uint32_t> narrow;
    readConfFileToMap(file, narrow);
    EXPECT_TRUE(narrow.empty());
    EXPECT_TRUE(log.has("get /x value failed. Conversion failed", "ERROR"));

    std::map<std::string, uint64_t> wide;
    readConfFileToMap(file, wide);
    EXPECT_EQ(wide, (std::map<std::string, uint64_t>{{"/x", 0x100000000ull}, {"/y", 1}}));

    const std::string tooWide = write("/x=10000000000000000\n");
    wide.clear();
    readConfFileToMap(tooWide, wide);
    EXPECT_TRUE(wide.empty());
}

TEST_F(ConfFileTest, MissingFileAndEmptyName)
{
    std::map<std::string, uint32_t> map{{"/kept", 1}};
    readConfFileToMap(tree.path("absent.conf"), map);
    EXPECT_TRUE(log.has("open " + tree.path("absent.conf") + " file error!\n", "ERROR")) << log.dump();
    readConfFileToMap("", map);
    EXPECT_TRUE(log.has("confFileName is empty..", "ERROR"));
    EXPECT_EQ(map, (std::map<std::string, uint32_t>{{"/kept", 1}}));
}

}  // namespace
