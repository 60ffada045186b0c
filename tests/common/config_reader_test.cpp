#include <gtest/gtest.h>

#include <string>

#include "common/config_reader.h"
#include "support/temp_tree.h"

// Both readers: comments, CR line ends, blanks around keys and values, a
// broken section header, and the message for a missing file.
TEST(ConfigReaderTest, ParseAndReadConfig)
{
    TempTree tree;
    const std::string path = tree.file("c.ini",
                                       "key = before\n"
                                       "  # comment\n"
                                       "[main]\r\n"
                                       "  key = value \r\n"
                                       "other=a=b\n"
                                       "[broken\n"
                                       "key = again\n"
                                       "[empty]\n");
    EXPECT_EQ(parseConfig(path), (ConfigHashMap{{"main", {{"key", "again"}, {"other", "a=b"}}}, {"empty", {}}}));
    const std::string other = tree.file("d.ini",
                                        "top = t\n"
                                        "; semicolon comment\n"
                                        "\t[sec] trailing\n"
                                        "key = a b\r\n"
                                        "  spaced\t=\tv\n"
                                        " = nokey\n"
                                        "[open\n"
                                        "last=1\n");
    EXPECT_EQ(readConfig(other),
              (ConfigMap{{"", {{"top", "t"}}}, {"sec", {{"key", "a"}, {"spaced", "v"}, {"last", "1"}}}}));
    EXPECT_TRUE(parseConfig(tree.path("none")).empty());
    EXPECT_TRUE(readConfig(tree.path("none")).empty());
}
