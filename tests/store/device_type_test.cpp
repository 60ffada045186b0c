#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "store/vetu_restore_init.h"
#include "support/temp_tree.h"

namespace {

const char kDeviceXml[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<devices>
  <type name="storage" value="0x1">
    <class name="usb" value="0x10">
      <subclass name="usb-disk" value="0x2"/>
      <subclass value="0x3"/>
    </class>
    <class name="nvalue"/>
    <class name="sata" value="20">
      <subclass name="sata" value="0x7"/>
      <subclass name="sata-big" value="0xFFFFFFFF"/>
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

std::string repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

class DeviceTypeTest : public ::testing::Test {
protected:
    void load(const std::string& xml) { store.readDeviceTypeInfo(tree.file("devices.xml", xml).c_str()); }
    TempTree tree;
    VetuRestoreInit store;
};

// Each row: a name, its type id (-1: refused) and whether it has an oid,
// which is then the type id.
TEST_F(DeviceTypeTest, Identifiers)
{
    load(kDeviceXml);
    EXPECT_EQ(store.m_vecDeviceTypeInfo.load()->size(), 4u);
    const std::tuple<const char*, int64_t, bool> cases[] = {
        {"usb-disk", 0x0000001000000002, true},
        {"usb", 0x0000001000000000, true},
        {"sata-big", 0x000000207fffffff, true},  // beyond the int range: the nearest limit
        {"sata", 0x0000002000000007, true},      // a subclass named as its class is found first
        {"wifi", 0x0000004000000000, true},      // a class beats a later type of the same name
        // A type's name stops the walk with 0: the class "storage" of a later
        // type is never reached.
        {"storage", 0, false},
        {"hidden", 0, false},
        {"unknown", 0, false},
        {"", -1, false},
    };
    for (const auto& [name, typeId, hasOid] : cases) {
        uint64_t id = 99;
        uint64_t oid = 0;
        EXPECT_EQ(store.getDeviceTypeId(name, id), typeId < 0 ? -1 : 0) << name;
        EXPECT_EQ(id, typeId < 0 ? 99 : static_cast<uint64_t>(typeId)) << name;
        EXPECT_EQ(store.getDeviceOid(name, oid), hasOid ? 0 : -1) << name;
        EXPECT_EQ(oid, hasOid ? static_cast<uint64_t>(typeId) : 0) << name;
    }
}

// Files that give no table leave it empty. More '<' than a device table
// needs could nest deeper than the parse may take: refused.
TEST_F(DeviceTypeTest, UnusableFilesLeaveTheTableEmpty)
{
    const std::string cases[] = {
        "<?xml version=\"1.0\"?>\n<other><type name=\"t\" value=\"1\"/></other>\n",
        "<devices><type name=\"t\" value=\"1\">",
        "<devices><type name=\"t\" value=\"1\"/>" + repeat("<a>", 200000) + "</devices>",
    };
    for (const auto& xml : cases) {
        load(xml);
        EXPECT_TRUE(store.m_vecDeviceTypeInfo.load()->empty()) << xml.substr(0, 60);
    }
    uint64_t id = 0;
    EXPECT_EQ(store.getDeviceTypeId("t", id), -1);
    store.readDeviceTypeInfo(nullptr);
    EXPECT_TRUE(store.m_vecDeviceTypeInfo.load()->empty());
}

// Nesting within the limit is parsed on a stack of its own, whatever stack
// the caller has: 5000 levels need about a megabyte.
TEST_F(DeviceTypeTest, NestingLoadsFromASmallStack)
{
    const std::string xml = "<devices>" + repeat("<n>", 5000) + repeat("</n>", 5000) + "<type name=\"x\" value=\"2\"/>";
    std::pair<VetuRestoreInit*, std::string> call{&store, tree.file("devices.xml", xml + "</devices>")};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    const auto body = [](void* arg) -> void* {
        auto* c = static_cast<std::pair<VetuRestoreInit*, std::string>*>(arg);
        c->first->readDeviceTypeInfo(c->second.c_str());
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, &call), 0);
    pthread_join(thread, nullptr);
    EXPECT_EQ(store.m_vecDeviceTypeInfo.load()->size(), 1u);
}

}  // namespace
