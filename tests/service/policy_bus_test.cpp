// policies_parse through the real frame on the private bus.
#include <map>
#include <string>
#include <vector>

#include "service/labelmgr_bus_fixture.h"
#include "support/bus_client.h"
#include "support/expected_label.h"
#include "support/id_pairs_stub.h"
#include "support/temp_tree.h"

static BusArg argPolicy(const std::map<std::string, std::vector<std::string>>& policy)
{
    return [policy](DBusMessageIter* iter) {
        DBusMessageIter dict;
        dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, "{sas}", &dict);
        for (const auto& type : policy) {
            DBusMessageIter entry;
            dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
            argString(type.first)(&entry);
            argStrings(type.second)(&entry);
            dbus_message_iter_close_container(&dict, &entry);
        }
        dbus_message_iter_close_container(iter, &dict);
    };
}

TEST_F(LabelMgrBusTest, PoliciesParse)
{
    id_pairs_stub::create();
    start();
    BusClient client;
    TempTree tree;
    const std::string file = tree.file("f");
    const std::string reply = client.call("policies_parse", {argPolicy({{"object_file", {file}}})});
    EXPECT_NE(reply.find("\"" + file + "\":{\"file_id\":" + std::to_string(sm3Last64(file)) + ",\"path_id\":0,"),
              std::string::npos) << reply;
    EXPECT_NE(reply.find("\"subject_recurfile\":{}"), std::string::npos) << reply;
    // A refused policy is an error of the service's own name.
    EXPECT_EQ(client.call("policies_parse", {argPolicy({{"object_file", {"relative"}}})}),
              "!com.ormel.vetu.labelmgr: Invalid or unsafe file path detected");
    // An empty policy empties the policy maps only.
    store.identityDataUserConfigTid.set("/u", 4);
    EXPECT_EQ(client.call("policies_parse", {argPolicy({})}), "{}");
    EXPECT_TRUE(store.identityDataFileOid.getAll().empty());
    EXPECT_EQ(store.identityDataUserConfigTid.getAll().size(), 1u);
}
