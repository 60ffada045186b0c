#include <gtest/gtest.h>

#include <dbus-c++/dbus.h>

#include "service/request_checker.h"
#include "support/log_capture.h"
#include "support/polkit_stub.h"
#include "support/private_bus.h"

namespace {

class CheckerOnBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_bus.ok()) << m_bus.error();
        DBus::default_dispatcher = &m_dispatcher;
        m_connection.reset(new DBus::Connection(DBus::Connection::SystemBus()));
        m_checker.setConnection(m_connection.get());
    }
    void TearDown() override
    {
        m_connection.reset();
    }

    PrivateBus m_bus;
    DBus::BusDispatcher m_dispatcher;
    std::unique_ptr<DBus::Connection> m_connection;
    RequestChecker m_checker;
};

TEST_F(CheckerOnBus, Smoke)
{
    PolkitStub polkit;
    ASSERT_TRUE(polkit.ok());
    BusPeer nobody(kNobodyUid);
    ASSERT_TRUE(nobody.ok());
    EXPECT_TRUE(m_checker.checkRateLimit(nobody.uniqueName(), kRateClassQuery, "getPkgId"));
    EXPECT_TRUE(m_checker.checkAuth(nobody.uniqueName(), "getPkgId"));
    EXPECT_EQ(1u, polkit.queries().size());
}

}  // namespace
