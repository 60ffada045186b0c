// The stand-ins the program tests rely on answer as the real ones do.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/paths.h"
#include "support/id_pairs_stub.h"
#include "support/rpm_db.h"
#include "support/run_process.h"
#include "support/stub_rpm.h"

TEST(StandInsTest, TestRpmDbAnswersThroughTheRealRpm)
{
    TestRpmDb db;
    db.add({{"foo-bar", "1.2", "3", {"/opt/t/d"}, {"/opt/t/d/a b", "/opt/t/x"}}, {"empty", "1", "1", {}, {}}});
    ProcessResult qa = runProcess({paths::kRpm, "-qa"}, 30);
    ASSERT_EQ(describe(qa), "exit 0") << qa.output;
    EXPECT_NE(qa.output.find("foo-bar-1.2-3.noarch\n"), std::string::npos) << qa.output;
    EXPECT_NE(qa.output.find("empty-1-1.noarch\n"), std::string::npos) << qa.output;
    ProcessResult ql = runProcess({paths::kRpm, "-ql", "foo-bar"}, 30);
    EXPECT_EQ(ql.output, "/opt/t/d\n/opt/t/d/a b\n/opt/t/x\n");
    ProcessResult none = runProcess({paths::kRpm, "-ql", "empty"}, 30);
    EXPECT_EQ(none.output, "(contains no files)\n");
}

TEST(StandInsTest, StubRpmReplacesTheProgramAndRecordsItsCalls)
{
    StubRpm stub(listingStubBody());
    writeListing(stub, {"a-1-1.x86_64"}, {{"a", {"/x", "/y"}}});
    EXPECT_EQ(runProcess({paths::kRpm, "-qa"}, 30).output, "a-1-1.x86_64\n");
    EXPECT_EQ(runProcess({paths::kRpm, "-ql", "a"}, 30).output, "/x\n/y\n");
    EXPECT_EQ(describe(runProcess({paths::kRpm, "-ql", "b"}, 30)), "exit 1");
    EXPECT_EQ(stub.calls(), (std::vector<std::string>{"-qa", "-ql a", "-ql b"}));
}

TEST(StandInsTest, RunProcessEndsAProgramAtItsTimeLimit)
{
    const ProcessResult result = runProcess({"/bin/sleep", "30"}, 0.2);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(describe(runProcess({"/bin/sh", "-c", "kill -9 $$"}, 10)), "signal 9");
    EXPECT_EQ(describe(runProcess({"/nonexistent"}, 10)), "not started");
}

TEST(StandInsTest, IdPairsStandInSplitsMessages)
{
    id_pairs_stub::create();
    std::string bytes(16, '\0');
    const uint32_t clear[4] = {16, 0, 3, 1};
    memcpy(&bytes[0], clear, 16);
    std::vector<IdPairsMessage> messages;
    ASSERT_TRUE(id_pairs_stub::parse(bytes, messages));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].op, 3u);
    std::string error;
    EXPECT_FALSE(id_pairs_stub::parse(bytes + "x", messages, &error));
    EXPECT_EQ(id_pairs_stub::bytes(), "");
}
