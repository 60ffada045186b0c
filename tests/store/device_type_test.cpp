#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "store/vetu_restore_init.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

namespace {

const char kDeviceXml[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<devices>
  <type name="storage" value="0x1">
    <class name="usb" value="0x10">
      <subclass name="usb-disk" value="0x2"/>
      <subclass name="usb-neg" value="-1"/>
      <subclass value="0x3"/>
    </class>
    <class name="nvalue"/>
    <class name="sata" value="20">
      <subclass name="sata-big" value="0xFFFFFFFF"/>
      <subclass name="sata-junk" value="zz"/>
    </class>
    <comment name="ignored" value="1"/>
  </type>
  <type name="noValue">
    <class name="hidden" value="0x5"/>
  </type>
  <type name="net" value="2">
    <class name="storage" value="0x30"/>
    <class name="wifi" value="0x40"/>
  </type>
  <type name="wifi" value="3"/>
  <type name="bare" value="0x4"/>
</devices>
)";

class DeviceTypeTest : public ::testing::Test {
protected:
    void load(const std::string& xml) { store.readDeviceTypeInfo(tree.file("devices.xml", xml).c_str()); }
    TempTree tree;
    LogCapture log;
    VetuRestoreInit store;
};

TEST_F(DeviceTypeTest, TableKeepsFileOrderAndSkipsIncompleteElements)
{
    load(kDeviceXml);
    const auto table = store.m_vecDeviceTypeInfo.load();
    ASSERT_EQ(table->size(), 4u);
    EXPECT_EQ((*table)[0].name, "storage");
    ASSERT_EQ((*table)[0].classes.size(), 2u);
    EXPECT_EQ((*table)[0].classes[0].subclasses.size(), 2u);
    EXPECT_EQ((*table)[0].classes[1].name, "sata");
    EXPECT_EQ((*table)[0].classes[1].value, 0x20);
    EXPECT_EQ((*table)[1].name, "net");
    EXPECT_EQ((*table)[3].name, "bare");
    EXPECT_TRUE((*table)[3].classes.empty());

    EXPECT_TRUE(log.has("'subclass' element missing 'name' attribute.", "ERROR"));
    EXPECT_TRUE(log.has("'class' element missing 'value' attribute.", "ERROR"));
    EXPECT_TRUE(log.has("'type' element missing 'value' attribute.", "ERROR"));
}

TEST_F(DeviceTypeTest, Identifiers)
{
    load(kDeviceXml);
    struct Case {
        const char* name;
        int typeIdResult;
        uint64_t typeId;
        int oidResult;
        uint64_t oid;
    };
    const Case cases[] = {
        {"usb-disk", 0, 0x0000001000000002ull, 0, 0x0000001000000002ull},
        {"usb", 0, 0x0000001000000000ull, 0, 0x0000001000000000ull},
        // A negative subclass keeps the class in the upper half.
        {"usb-neg", 0, 0x00000010ffffffffull, 0, 0x00000010ffffffffull},
        // Beyond the int range the value is the nearest limit; unreadable is 0.
        {"sata-big", 0, 0x000000207fffffffull, 0, 0x000000207fffffffull},
        {"sata-junk", 0, 0x0000002000000000ull, 0, 0x0000002000000000ull},
        // A class beats a later type of the same name.
        {"wifi", 0, 0x0000004000000000ull, 0, 0x0000004000000000ull},
        // A type's name stops the walk with 0: the class "storage" of a later
        // type is never reached.
        {"storage", 0, 0, -1, 0},
        {"net", 0, 0, -1, 0},
        {"hidden", 0, 0, -1, 0},
        {"unknown", 0, 0, -1, 0},
        {"", -1, 0, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t id = 99;
        EXPECT_EQ(store.getDeviceTypeId(c.name, id), c.typeIdResult);
        if (c.typeIdResult == 0) {
            EXPECT_EQ(id, c.typeId);
        }
        uint64_t oid = 0;
        EXPECT_EQ(store.getDeviceOid(c.name, oid), c.oidResult);
        if (c.oidResult == 0) {
            EXPECT_EQ(oid, c.oid);
        }
    }
    EXPECT_TRUE(log.has("device is empty..", "ERROR"));
}

TEST_F(DeviceTypeTest, NoDevicesElementLeavesTheTableEmpty)
{
    load("<?xml version=\"1.0\"?>\n<other><type name=\"t\" value=\"1\"/></other>\n");
    EXPECT_TRUE(log.has("'devices' element not found.", "ERROR"));
    EXPECT_TRUE(store.m_vecDeviceTypeInfo.load()->empty());
    uint64_t id = 0;
    EXPECT_EQ(store.getDeviceTypeId("t", id), -1);
    EXPECT_TRUE(log.has("name or m_vecDeviceTypeInfo is empty..", "ERROR"));
    EXPECT_EQ(store.getDeviceOid("t", id), -1);
}

TEST_F(DeviceTypeTest, UnreadableFilesChangeNothing)
{
    store.readDeviceTypeInfo(nullptr);
    EXPECT_TRUE(log.has("xmlFileName is null.", "ERROR"));
    store.readDeviceTypeInfo(tree.path("absent.xml").c_str());
    load("<devices><type name=\"t\" value=\"1\">");
    EXPECT_EQ(log.count("Failed to load XML file.", "ERROR"), 2u);
    EXPECT_TRUE(store.m_vecDeviceTypeInfo.load()->empty());
}

// The parser recurses per nesting level: a deeply nested file must be refused,
// not overflow the stack. Markup that only looks like tags inside comments,
// CDATA and quoted values does not count.
TEST_F(DeviceTypeTest, DeepNestingIsRefused)
{
    std::string deep = "<devices><type name=\"t\" value=\"1\"/>";
    for (int i = 0; i < 200000; ++i) {
        deep += "<a>";
    }
    load(deep + "</devices>");
    EXPECT_TRUE(log.has("Failed to load XML file.", "ERROR")) << log.dump();
    EXPECT_TRUE(store.m_vecDeviceTypeInfo.load()->empty());

    std::string inert;
    for (int i = 0; i < 300; ++i) {
        inert += "<b/>";
    }
    std::string nested;
    for (int i = 0; i < 50; ++i) {
        nested += "<n>";
    }
    for (int i = 0; i < 50; ++i) {
        nested += "</n>";
    }
    std::string tags;
    for (int i = 0; i < 100; ++i) {
        tags += "<a>";
    }
    load("<?xml version=\"1.0\"?>\n<!-- " + tags + " --><devices>" + inert + nested + nested + "<![CDATA[" + tags +
         "]]><type name=\"x\" value=\"2\" note=\"" + tags + "\"><class name=\"c\" value=\"3\"/></type></devices>");
    ASSERT_EQ(store.m_vecDeviceTypeInfo.load()->size(), 1u) << log.dump();
    uint64_t oid = 0;
    EXPECT_EQ(store.getDeviceOid("c", oid), 0);
}

TEST_F(DeviceTypeTest, ASecondFileAppends)
{
    load("<devices><type name=\"a\" value=\"1\"><class name=\"ca\" value=\"2\"/></type></devices>");
    load("<devices><type name=\"b\" value=\"1\"><class name=\"ca\" value=\"3\"/></type></devices>");
    EXPECT_EQ(store.m_vecDeviceTypeInfo.load()->size(), 2u);
    uint64_t oid = 0;
    EXPECT_EQ(store.getDeviceOid("ca", oid), 0);
    EXPECT_EQ(oid, 0x0000000200000000ull);
}

}  // namespace
