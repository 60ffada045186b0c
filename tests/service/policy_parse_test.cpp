#include <gtest/gtest.h>

#include <dbus-c++/error.h>
#include <sys/xattr.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/file_utils.h"
#include "common/paths.h"
#include "restore/vetu_restore_context.h"
#include "service/policy_parse.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/id_pairs_stub.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

namespace fs = std::filesystem;

namespace {

const std::string kZeroLabel = labelText({}, 0, {}, 0);

// The D-Bus error message a call raised; "" when it raised none.
std::string refusal(const std::function<void()>& call)
{
    try {
        call();
    } catch (const DBus::Error& e) {
        EXPECT_STREQ(e.name(), "com.ormel.vetu.labelmgr");
        return e.message();
    }
    return "";
}

std::vector<std::string> logsContaining(const std::string& key)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(paths::kLogDir)) {
        const std::string name = entry.path().filename().string();
        if (name.find(key) != std::string::npos) {
            found.push_back(name);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> makeFiles(TempTree& tree, size_t count)
{
    std::vector<std::string> files(count);
    std::generate(files.begin(), files.end(), [&, i = 0]() mutable { return tree.file("f" + std::to_string(i++)); });
    return files;
}

}  // namespace

class PolicyParseTest : public testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(paths::kDataDir);
        id_pairs_stub::create();
        m_store.identityDataFileSid.set("/sentinel", {1, 2, 3});
    }

    ExtendedPolicy parse(const OriginPolicy& policy) { return m_parser.policies_parse(policy); }

    VetuRestoreInit& m_store = VetuRestoreInit::getInstance();
    ThPool m_pool{4};
    PolicyParser m_parser{m_store, VetuRestoreContext::getInstance(), m_pool};
};

TEST_F(PolicyParseTest, ValidationLimits)
{
    const auto many = [](size_t n) {
        std::vector<std::string> params(n);
        std::generate(params.begin(), params.end(), [i = 0]() mutable { return "/x/" + std::to_string(i++); });
        return params;
    };
    const auto entries = [&many](size_t n) {
        OriginPolicy policy;
        for (const auto& name : many(n)) {
            policy[name];
        }
        return policy;
    };
    const std::vector<std::pair<OriginPolicy, std::string>> rows = {
        {{{std::string(513, 'o'), {}}}, "Policy type exceeds maximum length"},
        {{{std::string(512, 'o'), {}}}, "Unknown policy type detected"},
        {entries(100001), "Policy map size exceeds maximum limit"},
        {entries(100000), "Unknown policy type detected"},
        {{{"object_file", many(100001)}}, "Policy params array exceeds maximum size"},
        {{{"object_file", many(100000)}}, ""},
        {{{"object_pkg", {std::string(513, 'p')}}}, "Package name exceeds maximum length"},
        {{{"subject_pkg", {std::string(512, 'p')}}, {"subject_dir", {}}}, ""},
        {{{"object_file", {std::string(513, 'p')}}}, "Invalid or unsafe file path detected"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(refusal([&] { validatePolicyParams(row.first); }), row.second) << row.first.begin()->first;
    }
}

// Every type in one policy: the result, the labels, the store, the kernel's pairs.
TEST_F(PolicyParseTest, TenTypes)
{
    TempTree tree;
    const std::string tool = tree.file("bin/tool"), app = tree.file("bin/app");
    const std::string so1 = tree.file("lib/a.so"), so2 = tree.file("lib/b.so"), pattern = tree.path("lib/*.so");
    const std::string etc = tree.dir("etc"), var = tree.dir("var");
    const std::string lnk = tree.symlink("lnk", tool), slnk = tree.symlink("slnk", app);
    const std::string g = tree.file("data/sub/g"), h = tree.file("srv/h");
    const std::string out = tree.symlink("data/out", tree.file("secret"));
    const std::string data = tree.path("data"), sub = tree.path("data/sub"), srv = tree.path("srv");
    const std::string k = tree.file("pa/q/k"), trees = tree.path("p*/q");  // a tree given as a pattern
    for (const std::string& dir : {tree.root(), tree.path("bin"), tree.path("lib"), etc, var, data, sub, srv}) {
        ASSERT_EQ(setxattr(dir.c_str(), "security.vetu", kZeroLabel.data(), kZeroLabel.size(), 0), 0);
    }
    const OriginPolicy origin = {
        {"object_file", {tool}}, {"subject_file", {app, pattern}}, {"object_dir", {etc}}, {"subject_dir", {var}},
        {"object_lnkfile", {lnk}}, {"subject_lnkfile", {slnk}}, {"object_pkg", {"pkgA", ""}}, {"subject_pkg", {"pkgB"}},
        {"object_recurfile", {data + "/"}}, {"subject_recurfile", {srv, trees}},
    };
    // The earlier policy's path ids go; a user-set sid gives both trees their path id.
    for (auto* map : {&m_store.identityDataDirSpathid, &m_store.identityDataDirOpathid,
                      &m_store.identityDataDirWSpathid, &m_store.identityDataDirWOpathid}) {
        map->set("/old", 1);
    }
    const uint64_t dataId = 0xd1;
    m_store.identityDataUserConfigSid.set(data, {0, 0, dataId});
    const ExtendedPolicy extended = parse(origin);

    const auto S = sm3Last64;
    const uint64_t hash = S(pattern), srvId = S(srv), treesId = S(trees);
    const auto file = [](uint64_t id) { return PolicyEntry{{"file_id", id}, {"path_id", 0}, {"pkg_id", 0}}; };
    const ExtendedPolicy expected = {
        {"object_file", {{tool, file(S(tool))}}},
        {"subject_file", {{app, file(S(app))}, {pattern, {{"file_id", 0}, {"path_id", 0}, {"pkg_id", hash}}}}},
        {"object_dir", {{etc, file(S(etc))}}},
        {"subject_dir", {{var, file(S(var))}}},
        {"object_lnkfile", {{lnk, file(S(lnk))}}},
        {"subject_lnkfile", {{slnk, file(S(slnk))}}},
        {"object_pkg", {{"pkgA", {{"pkg_id", S("pkgA")}}}}},
        {"subject_pkg", {{"pkgB", {{"pkg_id", S("pkgB")}}}}},
        {"object_recurfile", {{data + "/*", {{"path_id", dataId}}}}},
        {"subject_recurfile", {{srv + "/*", {{"path_id", srvId}}}, {trees + "/*", {{"path_id", treesId}}}}},
    };
    EXPECT_EQ(extended, expected);

    const std::vector<std::pair<std::string, std::string>> labels = {
        {tool, labelText({}, 0, {0, S(tool), 0}, 0)},
        {so2, labelText({hash, S(so2), 0}, 0, {}, 0)},
        {etc, labelText({}, 0, {0, S(etc), 0}, 7)},
        {lnk, labelText({}, 0, {0, S(lnk), 0}, 0)},
        {sub, labelText({}, 0, {0, S(sub), dataId}, 7)},
        {g, labelText({}, 0, {0, S(g), dataId}, 0)},
        {out, labelText({}, 0, {0, S(out), dataId}, 0)},
        {h, labelText({0, S(h), srvId}, 0, {}, 0)},
        {k, labelText({0, S(k), treesId}, 0, {}, 0)},
        {tree.path("bin"), labelText({}, 0, {}, 7)},
    };
    for (const auto& label : labels) {
        EXPECT_EQ(readXattr(label.first), label.second) << label.first;
    }

    using Ids = std::map<std::string, vetu_id_t>;
    EXPECT_EQ(m_store.identityDataFileOid.getAll(), (Ids{{tool, {0, S(tool), 0}}}));
    EXPECT_EQ(m_store.identityDataFileSid.getAll(),
              (Ids{{app, {0, S(app), 0}}, {so1, {hash, S(so1), 0}}, {so2, {hash, S(so2), 0}}}));
    EXPECT_EQ(m_store.identityDataFileWildcardSid.getAll(), (Ids{{pattern, {hash, 0, 0}}}));
    EXPECT_EQ(m_store.identityDataDirOpathid.getAll(), (std::map<std::string, uint64_t>{{data, dataId}}));
    EXPECT_EQ(m_store.identityDataDirSpathid.getAll(), (std::map<std::string, uint64_t>{{srv, srvId}}));
    EXPECT_EQ(m_store.identityDataDirWSpathid.getAll(), (std::map<std::string, uint64_t>{{trees, treesId}}));
    EXPECT_TRUE(m_store.identityDataDirWOpathid.getAll().empty());

    EXPECT_EQ(m_store.m_mapPathToIdentityType.load()->count(app), 1u);

    std::vector<IdPairsMessage> messages;
    ASSERT_TRUE(id_pairs_stub::parse(id_pairs_stub::bytes(), messages));
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[1].records, (std::vector<std::pair<uint64_t, uint64_t>>{{std::min(srvId, treesId), 0},
                                                                                {std::max(srvId, treesId), 0}}));
    EXPECT_EQ(messages[3].records, (std::vector<std::pair<uint64_t, uint64_t>>{{dataId, 0}}));
    m_parser.joinDumpLogs();
    EXPECT_EQ(logsContaining("origin_policy_").size() + logsContaining("extended_policy_").size(), 2u);
}

// An unknown type and a failed phase leave the store as it was (every task of
// the failing phase ended first); a failed kernel sync is only logged.
TEST_F(PolicyParseTest, FailuresAroundTheWorkers)
{
    TempTree tree;
    const std::string file = tree.file("f"), dir = tree.dir("d");
    const auto before = m_store.identityDataFileSid.getAll();
    EXPECT_EQ(refusal([&] { parse({{"object_file", {file}}, {"other", {file}}}); }), "Unknown policy type detected");
    std::vector<std::string> files = makeFiles(tree, 2000);
    files.insert(files.begin(), tree.path("none/*.x"));
    EXPECT_EQ(refusal([&] { parse({{"object_file", files}}); }), "Phase2 processing failed");
    EXPECT_TRUE(m_store.identityDataFileOid.getAll().empty());
    ThPool stopped{1};
    stopped.stop();
    PolicyParser failing{m_store, VetuRestoreContext::getInstance(), stopped};
    EXPECT_EQ(refusal([&] { failing.policies_parse({{"object_recurfile", {dir}}, {"object_file", {file}}}); }),
              "Phase1 processing failed");
    EXPECT_EQ(m_store.identityDataFileSid.getAll(), before);
    EXPECT_TRUE(m_store.identityDataDirOpathid.getAll().empty());

    id_pairs_stub::failWrites();
    LogCapture log;
    EXPECT_EQ(parse({{"object_file", {file}}}).at("object_file").count(file), 1u);
    EXPECT_EQ(log.count("policies_parse  syncPathidToKernel error.", "ERROR"), 1u);
    VetuRestoreInit reloaded;
    ASSERT_EQ(reloaded.loadIndentityData(), 0);
    EXPECT_EQ(reloaded.identityDataFileOid.getAll().count(file), 1u);
}

// The oid and the sid task of one path change one label: neither is lost.
TEST_F(PolicyParseTest, SamePathAsObjectAndSubject)
{
    TempTree tree;
    const std::vector<std::string> files = makeFiles(tree, 300);
    for (int round = 0; round < 20; ++round) {
        for (const auto& file : files) {
            lremovexattr(file.c_str(), "security.vetu");
        }
        parse({{"object_file", files}, {"subject_file", files}});
        for (const auto& file : files) {
            const uint64_t id = sm3Last64(file);
            ASSERT_EQ(readXattr(file), labelText({0, id, 0}, 0, {0, id, 0}, 0)) << file << " round " << round;
        }
    }
}

// The bytes of both dump logs; the set is cut to five before each new file,
// whatever the files' times: two dated in the future, five at one time; the
// two and the three names that sort last stay beside the new file.
TEST_F(PolicyParseTest, DumpLogs)
{
    printOriginPolicy({{"a", {"/x", "/y"}}, {"b", {}}});
    printExtendedPolicy({{"t", {{"/k", {{"file_id", 1234}, {"pkg_id", 0}}}}}, {"e", {}}});
    const std::string dir = std::string(paths::kLogDir) + "/";
    EXPECT_EQ(readFileToString(dir + logsContaining("origin_policy_").at(0)), "############# a:\n/x\n/y\n############# b:\n");
    EXPECT_EQ(readFileToString(dir + logsContaining("extended_policy_").at(0)),
              "############# e\n############# t\n/k file_id: 0x00000000000004d2 pkg_id: 0x0000000000000000 \n");
    for (const auto& name : logsContaining("policy_")) {
        fs::remove(dir + name);
    }
    const auto now = fs::file_time_type::clock::now();
    for (int i = 0; i < 7; ++i) {
        const std::string path = dir + "my_origin_policy_" + std::to_string(i);
        std::ofstream(path) << i;
        fs::last_write_time(path, i < 2 ? now + std::chrono::hours(1) : now);
    }
    printOriginPolicy({});
    auto left = logsContaining("origin_policy_");
    ASSERT_EQ(left.size(), 6u);
    left.pop_back();  // the new one
    const std::string k = "my_origin_policy_";
    EXPECT_EQ(left, (std::vector<std::string>{k + "0", k + "1", k + "4", k + "5", k + "6"}));
}
