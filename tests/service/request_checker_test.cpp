#include "service/request_checker.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <dbus-c++/dbus.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "common/paths.h"
#include "support/log_capture.h"
#include "support/polkit_stub.h"
#include "support/private_bus.h"

namespace {

// The caller checks against a real bus daemon and our polkit stand-in; the
// callers are connections held by children of any uid. The clock stands
// still, so rate windows never slide during a test.
class CheckerOnBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_bus.ok()) << m_bus.error();
        ASSERT_TRUE(m_polkit.ok());
        DBus::default_dispatcher = &m_dispatcher;
        m_connection.reset(new DBus::Connection(m_bus.connect()));
        m_checker = makeChecker();
    }
    void TearDown() override
    {
        m_checker.reset();
        m_connection.reset();
    }
    std::unique_ptr<RequestChecker> makeChecker()
    {
        std::unique_ptr<RequestChecker> checker(new RequestChecker([this] { return m_now; }));
        checker->setConnection(m_connection.get());
        return checker;
    }

    RateLimiter::TimePoint m_now = RateLimiter::TimePoint(std::chrono::hours(1));
    PrivateBus m_bus;
    PolkitStub m_polkit;
    DBus::BusDispatcher m_dispatcher;
    std::unique_ptr<DBus::Connection> m_connection;
    std::unique_ptr<RequestChecker> m_checker;
};

TEST_F(CheckerOnBus, RateKeysAndSharedQueue)
{
    BusPeer nobodyA(kNobodyUid), nobodyB(kNobodyUid), rootA(0), rootB(0);
    ASSERT_TRUE(nobodyA.ok() && nobodyB.ok() && rootA.ok() && rootB.ok());
    LogCapture log;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(m_checker->checkRateLimit(nobodyA.uniqueName(), kRateClassQuery, "getPkgId")) << i;
        ASSERT_TRUE(m_checker->checkRateLimit(rootA.uniqueName(), kRateClassQuery, "getPkgId")) << i;
    }
    // One user's connections share a budget; root's do not.
    EXPECT_FALSE(m_checker->checkRateLimit(nobodyB.uniqueName(), kRateClassQuery, "getPkgId"));
    EXPECT_TRUE(log.has("rate limit exceeded: interface=getPkgId, sender=uid:65534, type=0, max=100/sec", "ERROR"));
    EXPECT_TRUE(m_checker->checkRateLimit(rootB.uniqueName(), kRateClassQuery, "getPkgId"));
    EXPECT_FALSE(m_checker->checkRateLimit(rootA.uniqueName(), kRateClassQuery, "getPkgId"));
    EXPECT_TRUE(log.has("rate limit exceeded: interface=getPkgId, sender=" + rootA.uniqueName() +
                            ", type=0, max=100/sec",
                        "ERROR"));
    // Classes share the queue: 10 queries use up the heavy class, not the change class.
    for (int i = 1; i < 10; ++i) {
        ASSERT_TRUE(m_checker->checkRateLimit(rootB.uniqueName(), kRateClassQuery, "getPkgId")) << i;
    }
    EXPECT_FALSE(m_checker->checkRateLimit(rootB.uniqueName(), kRateClassHeavy, "policies_parse"));
    EXPECT_TRUE(m_checker->checkRateLimit(rootB.uniqueName(), kRateClassChange, "setPkgId"));
    EXPECT_FALSE(m_checker->checkRateLimit("", kRateClassQuery, "getPkgId"));
    EXPECT_EQ(0u, m_polkit.queries().size());
}

TEST_F(CheckerOnBus, PolkitAnswers)
{
    const struct {
        PolkitAnswer answer;
        bool admitted;
        const char* error;
    } rows[] = {
        {PolkitAnswer::Authorised, true, ""},
        {PolkitAnswer::Challenged, false, "需要管理员密码认证，桌面将弹出授权窗口"},
        {PolkitAnswer::Refused, false, "polkit 策略拒绝操作，无权限"},
        {PolkitAnswer::Error, false, "DBus 通信异常：stub refuses to answer"},
        {PolkitAnswer::Malformed, false, "DBus 通信异常：dictionary value expected"},
    };
    BusPeer caller(0);
    ASSERT_TRUE(caller.ok());
    for (const auto& row : rows) {
        LogCapture log;
        m_polkit.setAnswer(row.answer);
        EXPECT_EQ(row.admitted, m_checker->checkAuth(caller.uniqueName(), "getPkgId")) << row.error;
        if (!row.admitted) {
            EXPECT_EQ(1u, log.countContaining(", error=" + std::string(row.error), "ERROR")) << log.dump();
        }
    }
    EXPECT_EQ(5u, m_polkit.queries().size());
}

// Field 22 of the stat line, read without the code under test.
unsigned long long startTimeOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    unsigned long long value = 0;
    sscanf(line.c_str() + line.rfind(')') + 2,
           "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu", &value);
    return value;
}

TEST_F(CheckerOnBus, SubjectCarriesPidStartTimeAndUid)
{
    {
        BusPeer caller(kNobodyUid);
        ASSERT_TRUE(caller.ok());
        EXPECT_TRUE(m_checker->checkAuth(caller.uniqueName(), "getPkgId"));
        const auto queries = m_polkit.queries();
        ASSERT_EQ(1u, queries.size());
        const PolkitQuery& query = queries[0];
        EXPECT_EQ("unix-process", query.subjectKind);
        EXPECT_EQ("com.ormel.vetu.labelmgr.access", query.actionId);
        EXPECT_EQ(0u, query.flags);
        EXPECT_EQ("", query.cancellationId);
        EXPECT_EQ(0u, query.detailCount);
        using Detail = std::pair<std::string, std::string>;
        EXPECT_EQ((std::map<std::string, Detail>{{"pid", {"u", std::to_string(caller.pid())}},
                                                 {"start-time", {"t", std::to_string(startTimeOf(caller.pid()))}},
                                                 {"uid", {"i", "65534"}}}),
                  query.subjectDetails);
    }
    // A caller that has gone is refused without asking polkit.
    BusPeer gone(0);
    const std::string name = gone.uniqueName();
    gone.~BusPeer();
    new (&gone) BusPeer(0);
    m_polkit.clearQueries();
    EXPECT_FALSE(makeChecker()->checkAuth(name, "getPkgId"));
    EXPECT_EQ(0u, m_polkit.queries().size());
}

// Binds a user database over /etc/passwd for the test's namespace.
class FakePasswd {
public:
    explicit FakePasswd(const std::string& content) : m_path("/tmp/passwd" + std::to_string(++s_count))
    {
        std::ofstream(m_path, std::ios::trunc) << content;
        m_ok = mount(m_path.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) == 0;
    }
    ~FakePasswd()
    {
        if (m_ok) {
            umount2("/etc/passwd", MNT_DETACH);
        }
    }
    bool ok() const { return m_ok; }

private:
    static int s_count;
    std::string m_path;
    bool m_ok = false;
};

int FakePasswd::s_count = 0;

TEST_F(CheckerOnBus, SecadmRuleFollowsTheSwitchFile)
{
    const std::string users = "root:x:0:0::/root:/bin/sh\nsecadm:x:65534:65534::/:/bin/false\n";
    std::unique_ptr<FakePasswd> passwd(new FakePasswd(users + "ghost:x:65533:65533::/:/bin/false\n"));
    // The bus daemon wants a user database entry while it lets a user connect.
    BusPeer root(0), secadm(kNobodyUid), unknown(65533);
    ASSERT_TRUE(root.ok() && secadm.ok() && unknown.ok());
    passwd.reset();
    passwd.reset(new FakePasswd(users));
    ASSERT_TRUE(passwd->ok());
    const std::string dir = std::string(paths::kAdmctl).substr(0, std::string(paths::kAdmctl).rfind('/'));
    ASSERT_EQ(0, system(("mkdir -p " + dir).c_str()));
    const struct {
        const char* content;  // null: no switch file
        bool secadm;
        bool unknown;
    } rows[] = {{nullptr, false, false}, {"1\n", true, true}, {"0\n", false, false}, {"", false, false}};
    for (const auto& row : rows) {
        unlink(paths::kAdmctl);
        if (row.content != nullptr) {
            std::ofstream(paths::kAdmctl) << row.content;
        }
        auto checker = makeChecker();
        checker->initAdmctl();
        const std::string label = row.content != nullptr ? row.content : "(absent)";
        EXPECT_TRUE(checker->checkAuth(root.uniqueName(), "setPkgId")) << label;
        EXPECT_EQ(row.secadm, checker->checkAuth(secadm.uniqueName(), "setPkgId")) << label;
        EXPECT_EQ(row.unknown, checker->checkAuth(unknown.uniqueName(), "setPkgId")) << label;
    }
}

TEST_F(CheckerOnBus, WhitelistSeesTheCallersUserAndExecutable)
{
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    std::ofstream("/tmp/whitelist.conf") << "enabled=true\n[getPkgId]\nallowed_users=root\nallowed_paths="
                                         << std::string(exe, static_cast<size_t>(n))
                                         << "\n[setPkgId]\nallowed_paths=/opt/*\n";
    ASSERT_TRUE(m_checker->loadWhitelist("/tmp/whitelist.conf"));
    BusPeer root(0), nobody(kNobodyUid);
    ASSERT_TRUE(root.ok() && nobody.ok());
    EXPECT_TRUE(m_checker->checkWhitelist(root.uniqueName(), "getPkgId"));
    EXPECT_FALSE(m_checker->checkWhitelist(nobody.uniqueName(), "getPkgId"));
    EXPECT_FALSE(m_checker->checkWhitelist(root.uniqueName(), "setPkgId"));
    EXPECT_FALSE(m_checker->checkWhitelist("", "getPkgId"));
}

}  // namespace
