// Our action file and the polkit question against the real polkit daemon.
#include <gtest/gtest.h>

#include <dbus-c++/dbus.h>

#include "service/polkit_authority.h"
#include "support/polkit_daemon.h"
#include "support/private_bus.h"
#include "support/run_process.h"

namespace {

// pkaction reads our action file through the daemon; the subject's uid
// decides, not the one polkit would read from /proc: a root process asked
// about as uid 65534 is refused.
TEST(PolkitDaemon, ActionFileAndSubjectUid)
{
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    PolkitDaemon polkitd(kRootOnlyRules);
    ASSERT_TRUE(polkitd.ok()) << polkitd.error();
    const ProcessResult result =
        runProcess({"/usr/bin/pkaction", "--action-id", "com.ormel.vetu.labelmgr.access"}, 30);
    ASSERT_EQ(0, result.status) << describe(result) << "\n" << result.output;
    DBus::BusDispatcher dispatcher;
    DBus::default_dispatcher = &dispatcher;
    DBus::Connection connection = bus.connect();
    PolkitAuthority polkit(&connection);
    BusPeer root(0);
    ASSERT_TRUE(root.ok());
    std::string error;
    EXPECT_TRUE(polkit.polkitCheckAuth(root.pid(), 0, kLabelMgrAccessAction, error)) << error;
    EXPECT_FALSE(polkit.polkitCheckAuth(root.pid(), kNobodyUid, kLabelMgrAccessAction, error));
    EXPECT_EQ("polkit 策略拒绝操作，无权限", error);
    // polkitd answers a question about an unknown action with an error reply of its own.
    EXPECT_FALSE(polkit.polkitCheckAuth(root.pid(), 0, "com.ormel.vetu.none", error));
    EXPECT_EQ("PolicyKit DBus 调用无响应", error);
}

}  // namespace
