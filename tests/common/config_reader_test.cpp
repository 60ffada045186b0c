#include <gtest/gtest.h>

#include <string>

#include "common/config_reader.h"
#include "support/temp_tree.h"

// One file through both readers: parseConfig trims and drops keys before the
// first section; readConfig keeps them under "", skips ';' lines too and cuts
// a value at its first blank. A header without ']' opens nothing.
TEST(ConfigReaderTest, BothReadersOfOneFile)
{
    TempTree tree;
    const std::string path = tree.file("c.ini",
                                       "top = 1\n"
                                       "# [hidden]\n"
                                       "[s]\n"
                                       "  key = a b \n"
                                       "#gone=1\n"
                                       ";semi=2\n"
                                       "[open\n"
                                       "k2=v\n"
                                       "[empty]\n");
    EXPECT_EQ(parseConfig(path), (ConfigHashMap{{"s", {{"key", "a b"}, {";semi", "2"}, {"k2", "v"}}}, {"empty", {}}}));
    EXPECT_EQ(readConfig(path), (ConfigMap{{"", {{"top", "1"}}}, {"s", {{"key", "a"}, {"k2", "v"}}}}));
    EXPECT_TRUE(parseConfig(tree.path("none")).empty() && readConfig(tree.path("none")).empty());
}
