// The request checks: the rate windows, the whitelist file, and the checker
// on a real bus with polkitd.
#include "service/request_checker.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <tuple>

#include "common/file_utils.h"
#include "common/paths.h"
#include "service/access_whitelist.h"
#include "service/rate_limiter.h"
#include "service/polkit_authority.h"
#include "service/labelmgr_bus_fixture.h"

namespace {

using namespace std::chrono_literals;
using TimePoint = RateLimiter::TimePoint;

TEST(RateLimiter, WindowAdmitsTheMaximumAndRefusedCallsDoNotCount)
{
    const TimePoint t0 = TimePoint(1h);
    TimePoint now = t0;
    RateLimiter limiter([&now] { return now; });
    for (int i = 0; i < 100; ++i) {
        now = t0 + i * 5ms;
        ASSERT_TRUE(limiter.checkSlidingWindow("k", 100, 1s)) << i;
    }
    now = t0 + 990ms;
    EXPECT_FALSE(limiter.checkSlidingWindow("k", 100, 1s));
    EXPECT_TRUE(limiter.checkSlidingWindow("other", 100, 1s));
    now = t0 + 1s;  // the oldest call is exactly one second old: still inside
    EXPECT_FALSE(limiter.checkSlidingWindow("k", 100, 1s));
    now = t0 + 1001ms;  // it has left; had the refusals counted, nothing would be free
    EXPECT_TRUE(limiter.checkSlidingWindow("k", 100, 1s));
    EXPECT_FALSE(limiter.checkSlidingWindow("k", 100, 1s));
}

TEST(RateLimiter, PruneDropsIdleKeysOncePerMinute)
{
    const TimePoint t0 = TimePoint(1h);
    TimePoint now = t0;
    RateLimiter limiter([&now] { return now; });
    ASSERT_TRUE(limiter.checkSlidingWindow("idle", 10, 1s));
    now = t0 + 30s;
    ASSERT_TRUE(limiter.checkSlidingWindow("busy", 10, 1s));
    // At 100 s "busy" is idle for over a minute, but the last prune was 39 s ago.
    for (const auto& [at, keys] : {std::pair(59s, 2u), {61s, 1u}, {100s, 1u}, {121s, 0u}}) {
        now = t0 + at;
        limiter.pruneRateLimitHistory();
        EXPECT_EQ(keys, limiter.keyCount()) << at.count();
    }
}

// Each line a trap of the format: comments, a header spoilt by a blank
// before its comment, a switch that counts only outside sections, lists
// taken byte for byte.
constexpr const char kMainFile[] =
    "# whitelist\n"
    "enabled=true #\n"
    "allowed_users=root,,carol\n"
    "[getPkgId]\n"
    "allowed_paths=/usr/bin/*\n"
    "[setPkgId]\n"
    "allowed_users=root,admin\n"
    "allowed_users=root, admin2\n"
    "[getFileOid] # no header now\n"
    "allowed_paths=/opt/x\n"
    "[getPkgIds]\n"
    "allowed_users=dave,\n"
    "allowed_paths=/opt/tool\n"
    "[getPkgIds]\n"
    "allowed_paths=/usr/lib/?ool\n"
    "[]\n"
    "allowed_users=erin\n"
    "enabled=true\n"
    "[pathNormalize]\n"
    "enabled=false\n"
    "allowed_users=,frank\n"
    "allowed_paths=/bin/*\n";
// Either switch, if honoured, would refuse nobody.
constexpr const char kSwitchesIgnored[] = "enabled=true\r\n[getPkgId]\nenabled=true\nallowed_users=root\n";
constexpr const char kNoGlobalUsers[] = "enabled=true\n[getPkgId]\nallowed_users=root\n";

TEST(AccessWhitelist, FileTable)
{
    const std::tuple<const char*, const char*, const char*, const char*, bool> rows[] = {  // file, user, path, section
        {kMainFile, "nobody", "/usr/bin/sub/tool", "getPkgId", true},  // "*" crosses "/"
        {kMainFile, "nobody", "/opt/tool", "getPkgId", false},
        {kMainFile, "admin2", "/opt/x", "setPkgId", false},  // the item is " admin2"
        {kMainFile, " admin2", "/opt/x", "setPkgId", true},  // paths of the spoilt header stay here
        {kMainFile, "carol", "/any", "getFileOid", true},  // no section of its own: global users
        {kMainFile, "erin", "/any", "getFileOid", true},    // after "[]" is outside again
        {kMainFile, "zed", "/any", "getFileOid", false},
        {kMainFile, "dave", "/usr/lib/tool", "getPkgIds", true},  // the repeated section adds
        {kMainFile, "dave", "/usr/lib/xtool", "getPkgIds", false},
        {kMainFile, "", "/opt/tool", "getPkgIds", false},  // a trailing comma adds nothing
        {kMainFile, "", "/bin/ls", "pathNormalize", true},  // a leading comma adds ""
        {kSwitchesIgnored, "nobody", "/any", "getPkgId", true},
        {kNoGlobalUsers, "nobody", "/any", "setPkgId", true},
        {kNoGlobalUsers, "nobody", "/any", "getPkgId", false},
    };
    for (const auto& [file, user, path, section, admitted] : rows) {
        std::ofstream("/tmp/whitelist.conf", std::ios::trunc) << file;
        AccessWhitelist whitelist;
        ASSERT_TRUE(whitelist.loadWhitelist("/tmp/whitelist.conf"));
        EXPECT_EQ(admitted, whitelist.checkWhitelist(user, path, section)) << "'" << user << "' " << path << " " << section;
    }
    AccessWhitelist missing;
    EXPECT_FALSE(missing.loadWhitelist("/etc/vetu/label/vetu-label-whitelist.conf"));
    EXPECT_TRUE(missing.checkWhitelist("nobody", "/opt/tool", "getPkgId"));
}

// Callers are children of any uid; the clock stands still.
class CheckerOnBus : public LabelMgrBusTest {
protected:
    void SetUp() override
    {
        LabelMgrBusTest::SetUp();
        DBus::default_dispatcher = &m_dispatcher;
        m_connection.reset(new DBus::Connection(bus.connect()));
        m_checker = makeChecker();
    }
    std::unique_ptr<RequestChecker> makeChecker()
    {
        auto checker = std::make_unique<RequestChecker>([] { return RateLimiter::TimePoint{}; });
        checker->setConnection(m_connection.get());
        return checker;
    }

    DBus::BusDispatcher m_dispatcher;
    std::unique_ptr<DBus::Connection> m_connection;
    std::unique_ptr<RequestChecker> m_checker;
};

TEST_F(CheckerOnBus, RateKeysAndSharedQueue)
{
    BusPeer nobodyA(kNobodyUid), nobodyB(kNobodyUid), rootA(0);
    ASSERT_TRUE(nobodyA.ok() && nobodyB.ok() && rootA.ok());
    auto check = [this](const BusPeer& peer, uint32_t rateClass) {
        return m_checker->checkRateLimit(peer.uniqueName(), rateClass, "getPkgId");
    };
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(check(nobodyA, kRateClassQuery) && check(rootA, kRateClassQuery)) << i;
    }
    // One user's connections share a budget; root's do not.
    EXPECT_FALSE(check(nobodyB, kRateClassQuery));
    EXPECT_FALSE(check(rootA, kRateClassQuery));
    // A call without a sender passes none of the checks.
    EXPECT_FALSE(m_checker->checkRateLimit("", kRateClassChange, "getPkgId"));
    EXPECT_FALSE(m_checker->checkAuth("", "getPkgId"));
    EXPECT_FALSE(m_checker->checkWhitelist("", "getPkgId"));
    EXPECT_EQ(0u, polkit.queries().size());
}

// A name the bus does not know has no uid, however often it is asked: a
// failure remembered as uid 0 would pass it as root the next time.
TEST_F(CheckerOnBus, UnknownNameHasNoUidWhenAskedAgain)
{
    for (int asked = 1; asked <= 2; ++asked) {
        uint32_t uid = 7;
        EXPECT_FALSE(m_checker->identity().getCallerUid(":1.999999", uid)) << "ask " << asked << ", uid " << uid;
    }
}

// The 22nd field of /proc/<pid>/stat, in clock ticks since boot.
std::string startTimeOf(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {}
    return field;
}

TEST_F(CheckerOnBus, PolkitSubjectAndAnswers)
{
    // A newline in the caller's own name must not hide its start time.
    BusPeer caller(kNobodyUid), hostile(kNobodyUid, 10, "a\n) 0 0");
    ASSERT_TRUE(caller.ok() && hostile.ok());
    EXPECT_TRUE(m_checker->checkAuth(caller.uniqueName(), "getPkgId"));
    EXPECT_TRUE(m_checker->checkAuth(hostile.uniqueName(), "getPkgId"));
    // A caller the bus does not know (one that has gone) is refused without asking polkit.
    EXPECT_FALSE(m_checker->checkAuth(":1.999999", "getPkgId"));
    // polkitd checks the details' types; no interaction is allowed (flags 0).
    const auto subject = [](const BusPeer& peer) {
        return "(\"unix-process\",{\"pid\":" + std::to_string(peer.pid()) + ",\"start-time\":" +
               startTimeOf(peer.pid()) + ",\"uid\":65534}) \"com.ormel.vetu.labelmgr.access\" {} 0 \"\"";
    };
    EXPECT_EQ(polkit.queries(), (std::vector<std::string>{subject(caller), subject(hostile)}));
    for (const auto& [answer, admitted] : {std::pair(PolkitAnswer::Authorised, true),
                                           {PolkitAnswer::Challenged, false}, {PolkitAnswer::Refused, false}}) {
        polkit.setAnswer(answer);
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
    std::filesystem::create_directories(std::filesystem::path(paths::kAdmctl).parent_path());
    for (const auto& [content, admitted] : {std::pair<const char*, bool>(nullptr, false) /* no file */, {"1\n", true},
                                            {"0\n", false}, {"", false}}) {
        unlink(paths::kAdmctl);
        if (content != nullptr) {
            std::ofstream(paths::kAdmctl) << content;
        }
        auto checker = makeChecker();
        checker->initAdmctl();
        EXPECT_EQ(std::make_tuple(true, admitted, admitted),
                  std::make_tuple(checker->checkAuth(root.uniqueName(), "setPkgId"),
                                  checker->checkAuth(secadm.uniqueName(), "setPkgId"),
                                  checker->checkAuth(unknown.uniqueName(), "setPkgId")))
            << (content ? content : "(absent)");
    }
    umount2("/etc/passwd", MNT_DETACH);
}

TEST_F(CheckerOnBus, WhitelistSeesTheCallersUserAndExecutable)
{
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe");
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
