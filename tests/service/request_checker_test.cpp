#include "service/request_checker.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "common/file_utils.h"
#include "common/paths.h"
#include "service/polkit_authority.h"
#include "support/polkit_daemon.h"
#include "support/private_bus.h"

namespace {

// The checks on a real bus with polkitd; callers are children of any uid.
// The clock stands still.
class CheckerOnBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_bus.ok()) << m_bus.error();
        ASSERT_TRUE(m_polkit.ok()) << m_polkit.error();
        DBus::default_dispatcher = &m_dispatcher;
        m_connection.reset(new DBus::Connection(m_bus.connect()));
        m_checker = makeChecker();
    }
    std::unique_ptr<RequestChecker> makeChecker()
    {
        auto checker = std::make_unique<RequestChecker>([] { return RateLimiter::TimePoint{}; });
        checker->setConnection(m_connection.get());
        return checker;
    }

    PrivateBus m_bus;
    PolkitDaemon m_polkit;
    DBus::BusDispatcher m_dispatcher;
    std::unique_ptr<DBus::Connection> m_connection;
    std::unique_ptr<RequestChecker> m_checker;
};

TEST_F(CheckerOnBus, RateKeysAndSharedQueue)
{
    BusPeer nobodyA(kNobodyUid), nobodyB(kNobodyUid), rootA(0), rootB(0);
    ASSERT_TRUE(nobodyA.ok() && nobodyB.ok() && rootA.ok() && rootB.ok());
    auto check = [this](const BusPeer& peer, uint32_t rateClass) {
        return m_checker->checkRateLimit(peer.uniqueName(), rateClass, "getPkgId");
    };
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(check(nobodyA, kRateClassQuery) && check(rootA, kRateClassQuery)) << i;
    }
    // One user's connections share a budget; root's do not.
    EXPECT_FALSE(check(nobodyB, kRateClassQuery));
    EXPECT_FALSE(check(rootA, kRateClassQuery));
    // Classes share one queue: 10 queries use up the heavy class, not the change class.
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(check(rootB, kRateClassQuery)) << i;
    }
    EXPECT_FALSE(check(rootB, kRateClassHeavy));
    EXPECT_TRUE(check(rootB, kRateClassChange));
    // A call without a sender passes none of the checks.
    EXPECT_FALSE(m_checker->checkRateLimit("", kRateClassChange, "getPkgId"));
    EXPECT_FALSE(m_checker->checkAuth("", "getPkgId"));
    EXPECT_FALSE(m_checker->checkWhitelist("", "getPkgId"));
    EXPECT_EQ(0u, m_polkit.queries().size());
}

TEST_F(CheckerOnBus, PolkitAnswers)
{
    BusPeer caller(kNobodyUid);
    ASSERT_TRUE(caller.ok());
    for (const auto& [answer, admitted] : {std::pair(PolkitAnswer::Authorised, true),
                                           {PolkitAnswer::Challenged, false}, {PolkitAnswer::Refused, false}}) {
        m_polkit.setAnswer(answer);
        EXPECT_EQ(admitted, m_checker->checkAuth(caller.uniqueName(), "getPkgId")) << static_cast<int>(answer);
    }
    // The refusal, and a question polkitd cannot answer (an unknown action), in their own words.
    PolkitAuthority authority(m_connection.get());
    std::string error;
    EXPECT_FALSE(authority.polkitCheckAuth(caller.pid(), kNobodyUid, "com.ormel.vetu.labelmgr.access", error));
    EXPECT_EQ(error, "polkit 策略拒绝操作，无权限");
    EXPECT_FALSE(authority.polkitCheckAuth(caller.pid(), 0, "com.ormel.vetu.none", error));
    EXPECT_EQ(error, "PolicyKit DBus 调用无响应");
}

// The 22nd field of /proc/<pid>/stat, in clock ticks since boot.
std::string startTimeOf(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22; ++i) {
        fields >> field;
    }
    return field;
}

TEST_F(CheckerOnBus, SubjectCarriesPidStartTimeAndUid)
{
    BusPeer caller(kNobodyUid);
    ASSERT_TRUE(caller.ok());
    EXPECT_TRUE(m_checker->checkAuth(caller.uniqueName(), "getPkgId"));
    // polkitd checks the details' types; no interaction is allowed (flags 0).
    EXPECT_EQ(m_polkit.queries(),
              std::vector<std::string>{"(\"unix-process\",{\"pid\":" + std::to_string(caller.pid()) +
                                       ",\"start-time\":" + startTimeOf(caller.pid()) +
                                       ",\"uid\":65534}) \"com.ormel.vetu.labelmgr.access\" {} 0 \"\""});
    // A newline in the caller's own name does not hide its start time.
    BusPeer hostile(kNobodyUid, 10, "a\n) 0 0");
    ASSERT_TRUE(hostile.ok());
    EXPECT_TRUE(m_checker->checkAuth(hostile.uniqueName(), "getPkgId"));
    ASSERT_EQ(2u, m_polkit.queries().size());
    EXPECT_NE(std::string::npos, m_polkit.queries()[1].find(",\"start-time\":" + startTimeOf(hostile.pid()) + ","));
    // A caller the bus does not know (one that has gone) is refused without asking polkit.
    EXPECT_FALSE(m_checker->checkAuth(":1.999999", "getPkgId"));
    EXPECT_EQ(2u, m_polkit.queries().size());
}

bool bindPasswd(const std::string& content)
{
    static int count = 0;
    const std::string path = "/tmp/passwd" + std::to_string(++count);
    std::ofstream(path) << content;
    return mount(path.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) == 0;
}

TEST_F(CheckerOnBus, SecadmRuleFollowsTheSwitchFile)
{
    const std::string users = "root:x:0:0::/root:/bin/sh\nsecadm:x:65534:65534::/:/bin/false\n";
    // The bus daemon wants a user database entry while it lets a user connect.
    ASSERT_TRUE(bindPasswd(users + "ghost:x:65533:65533::/:/bin/false\n"));
    BusPeer root(0), secadm(kNobodyUid), unknown(65533);
    ASSERT_EQ(0, umount2("/etc/passwd", MNT_DETACH));
    ASSERT_TRUE(root.ok() && secadm.ok() && unknown.ok());
    ASSERT_TRUE(bindPasswd(users));
    const std::string admctl = paths::kAdmctl;
    ASSERT_EQ(0, system(("mkdir -p " + admctl.substr(0, admctl.rfind('/'))).c_str()));
    const struct {
        const char* content;  // "(absent)": no switch file
        bool secadmAndUnknown;
    } rows[] = {{"(absent)", false}, {"1\n", true}, {"0\n", false}, {"", false}};
    for (const auto& row : rows) {
        unlink(paths::kAdmctl);
        if (std::string(row.content) != "(absent)") {
            std::ofstream(paths::kAdmctl) << row.content;
        }
        auto checker = makeChecker();
        checker->initAdmctl();
        EXPECT_TRUE(checker->checkAuth(root.uniqueName(), "setPkgId"));
        EXPECT_EQ(row.secadmAndUnknown, checker->checkAuth(secadm.uniqueName(), "setPkgId")) << row.content;
        EXPECT_EQ(row.secadmAndUnknown, checker->checkAuth(unknown.uniqueName(), "setPkgId")) << row.content;
    }
    umount2("/etc/passwd", MNT_DETACH);
}

TEST_F(CheckerOnBus, WhitelistSeesTheCallersUserAndExecutable)
{
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    std::ofstream("/tmp/whitelist.conf") << "enabled=true\n[getPkgId]\nallowed_users=root\nallowed_paths=" << exe
                                         << "\n[setPkgId]\nallowed_paths=/opt/*\n";
    ASSERT_TRUE(m_checker->loadWhitelist("/tmp/whitelist.conf"));
    BusPeer root(0), nobody(kNobodyUid);
    ASSERT_TRUE(root.ok() && nobody.ok());
    EXPECT_TRUE(m_checker->checkWhitelist(root.uniqueName(), "getPkgId"));
    EXPECT_FALSE(m_checker->checkWhitelist(nobody.uniqueName(), "getPkgId"));
    EXPECT_FALSE(m_checker->checkWhitelist(root.uniqueName(), "setPkgId"));
}

}  // namespace
