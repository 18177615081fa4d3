// TargetManagerAzure against the scripted agent: containers, targets and the task configuration.
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "fake_agent.h"
#include "scratch_env.h"
#include "target_azure.h"
#include "vorn/backup/cache.h"

using namespace VORN::Backup;
using ::testing::IsEmpty;
using vorntest::blobProperties;
using vorntest::FakeAgent;
using vorntest::json;

namespace {

// A "listBlobs" page of the container root.
Json::Value listing(const std::vector<std::string> &folders,
                    const std::vector<std::string> &files = {}) {
    Json::Value response = json(R"({"success": true, "folder": [], "file": []})");
    response["count"] = static_cast<int>(folders.size() + files.size());
    for (const std::string &name : folders) {
        response["folder"].append(json("{}"))["Name"] = name + "/";
    }
    for (const std::string &name : files) {
        response["file"].append(json(R"({"Properties": {"ContentLength": 1}})"))["Name"] = name;
    }
    return response;
}

class TargetManagerAzureTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_env.set("VORN_CONFIG_DIR", m_fake.path("config"))
            .set("VORN_CACHE_DIR", m_fake.path("cache"));
    }
    // Whatever failed, no temporary file may be left behind in TMPDIR.
    void TearDown() override { EXPECT_THAT(m_fake.tempFiles(), IsEmpty()); }

    // Scripts the agent's existence checks of `paths` paths, each neither a blob nor a directory.
    FakeAgent &scriptMissing(int paths = 1) {
        for (int i = 0; i < paths; ++i) {
            m_fake.fail(404).respond(listing({}));
        }
        return m_fake;
    }

    FakeAgent m_fake;
    vorntest::ScopedEnv m_env;
    TargetManagerAzure m_manager{vorntest::makeRepository()};
};

// A missing container, a wrong key and a closed port are proven end to end; bad input never
// reaches the agent. Network failures are retried, so every attempt fails alike.
TEST_F(TargetManagerAzureTest, FailedResponsesAreClassifiedPerOperation) {
    std::string status;
    OptionMap options;
    const std::function<bool()> getStatus = [&] { return m_manager.getStatus(status) == 1; };
    const std::function<bool()> createContainer = [&] { return m_manager.createContainer(); };
    const std::function<bool()> list = [&] { return m_manager.getAvailableOptions(options); };
    const std::function<bool()> createTarget = [&] {
        m_fake.respond(listing({}));
        return !m_manager.createTarget("T", "link-1", 0).empty();
    };
    const struct { std::function<bool()> operation; int code; const char *message;
                   TM_ERROR_CODE error; } cases[] = {
        {getStatus, 409, "ContainerBeingDeleted", TM_ERR_CONFLICT},
        {getStatus, 400, "One of the request inputs is out of range.", TM_ERR_ACCESS_REFUSED},
        {getStatus, 400, "InvalidQueryParameterValue", TM_ERR_GENERIC},
        {getStatus, -4, "Temporary failure in name resolution", TM_ERR_RESOLVE},
        {getStatus, -4, "read timed out", TM_ERR_TIMEOUT},
        {getStatus, -5, "", TM_ERR_GENERIC},
        {createContainer, 400, "", TM_ERR_BAD_REQUEST},
        {createContainer, 403, "", TM_ERR_ACCESS_REFUSED},
        {createContainer, -2, "", TM_ERR_ACCESS_REFUSED},
        {createContainer, 302, "", TM_ERR_GENERIC},
        {list, 403, "", TM_ERR_ACCESS_REFUSED},
        {createTarget, 403, "", TM_ERR_ACCESS_REFUSED},
        {createTarget, 409, "", TM_ERR_CONFLICT},
        {[&] { return !m_manager.createTarget("", "k", 0).empty(); }, 0, "", TM_ERR_INVALID_INPUT},
        {[&] { return !m_manager.createTarget("T", "", 0).empty(); }, 0, "", TM_ERR_INVALID_INPUT},
        {[&] { return m_manager.createTargetByDirName("", "k"); }, 0, "", TM_ERR_INVALID_INPUT},
        {[&] { return m_manager.createTargetByDirName("D", ""); }, 0, "", TM_ERR_INVALID_INPUT},
    };
    for (const auto &c : cases) {
        m_fake.byDefault(vorntest::answer(vorntest::failure(c.code, c.message)));
        EXPECT_FALSE(c.operation()) << "case " << &c - cases;
        EXPECT_EQ(c.error, m_manager.getErrorCode()) << "case " << &c - cases;
    }
    TargetManagerAzure unnamed(vorntest::makeRepository(""));
    EXPECT_TRUE(!unnamed.createContainer() && unnamed.getErrorCode() == TM_ERR_INVALID_INPUT);
}

// An agent refusing a key that is not base64 means rejected credentials, as in the transfer agent.
TEST_F(TargetManagerAzureTest, RefusedStartIsAccessRefused) {
    std::string status;
    m_fake.startLine("ValueError: 'c2VjcmV0' is not a valid base64 string, padding");
    EXPECT_EQ(-1, m_manager.getStatus(status));
    EXPECT_EQ(TM_ERR_ACCESS_REFUSED, m_manager.getErrorCode());
}

// The transfer agent's last response is an earlier success; an agent that exits, or cannot be
// restarted, must not be taken for a successful operation.
TEST_F(TargetManagerAzureTest, FailedRestartAfterEarlierSuccessIsAFailure) {
    std::list<TargetInfo> targets;
    std::string status;
    OptionMap options;
    m_fake.respondOk().respond(listing({})).step(json(R"({"exit": 1})"));
    // An account without containers still stores a list; its names are proven end to end.
    Json::Value stored;
    ASSERT_TRUE(m_manager.getAvailableOptions(options) &&
                options.optGet(Repository::SZK_REMOTE_BUCKET, stored));
    EXPECT_EQ(Json::Value(Json::arrayValue), stored);
    ASSERT_TRUE(m_manager.listTarget(targets));
    EXPECT_EQ(-1, m_manager.getStatus(status));
    m_fake.removeScript();
    const std::function<bool()> operations[] = {
        [&] { return m_manager.getStatus(status) == 1; },
        [&] { return m_manager.getAvailableOptions(options); },
        [&] { return m_manager.createContainer(); },
        [&] { return m_manager.listTarget(targets); },
    };
    for (size_t i = 0; i < std::size(operations); ++i) {
        m_manager.setError(TM_ERR_NONE);
        EXPECT_FALSE(operations[i]()) << i;
        EXPECT_EQ(TM_ERR_GENERIC, m_manager.getErrorCode()) << i;
    }
}

TEST_F(TargetManagerAzureTest, IsSameRepositoryComparesAccountAndContainer) {
    const auto repo = [](const std::string &targetType, const std::string &transferType,
                         const char *key, const char *container, const char *secret) {
        OptionMap options;
        if (key) options.optSet(Repository::SZK_REMOTE_KEY, std::string(key));
        if (container) options.optSet(Repository::SZK_REMOTE_BUCKET, std::string(container));
        if (secret) options.optSetSecret(Repository::SZK_REMOTE_SECRET, secret);
        return Repository(3, targetType, transferType, options);
    };
    const Repository own = repo("cloud", "azure", "acct", "box", "s1"),
                     local = repo("local", "azure", "acct", "box", "s1"),
                     keyless = repo("cloud", "azure", nullptr, "box", "s1");
    const struct { const char *name; Repository mine, other; bool same; } cases[] = {
        {"only the secret differs", own, repo("cloud", "azure", "acct", "box", "s2"), true},
        {"other account", own, repo("cloud", "azure", "acct2", "box", "s1"), false},
        {"other container", own, repo("cloud", "azure", "acct", "box2", "s1"), false},
        {"other target type", own, local, false},
        {"both lack the key", keyless, keyless, false},
        {"equal but not cloud", local, local, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.same, TargetManagerAzure(c.mine).isSameRepository(c.other)) << c.name;
    }
    EXPECT_THAT(m_fake.starts(), IsEmpty());
}

TEST_F(TargetManagerAzureTest, ListTargetKeepsDirectoriesHoldingAnInfoDatabase) {
    m_fake.respond(listing({"A", "B", "C"}, {"T9", "vornbkpinfo.db"})).respondOk().fail(404);
    m_fake.respondOk().respond(listing({}));
    std::list<TargetInfo> targets(2);
    ASSERT_TRUE(m_manager.listTarget(targets) && targets.size() == 2u);
    EXPECT_EQ("A C", targets.front().targetId + " " + targets.back().targetId);
    const std::vector<Json::Value> requests = m_fake.requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(json(R"({"fn": "listBlobs", "container": "backups", "Prefix": "",
                       "Delimiter": "/"})"), requests[0]);
    EXPECT_EQ("B/vornbkpinfo.db", requests[2]["blob"].asString());
    ASSERT_TRUE(m_manager.findTarget(targets));
    EXPECT_THAT(targets, IsEmpty());
    // A failing check of the third directory leaves the caller's list as it was.
    m_fake.respond(listing({"A", "B", "C"})).respondOk().respondOk().fail(403);
    targets.assign(1, TargetInfo());
    targets.front().targetId = "previous";
    EXPECT_FALSE(m_manager.listTarget(targets));
    EXPECT_EQ(TM_ERR_ACCESS_REFUSED, m_manager.getErrorCode());
    EXPECT_TRUE(targets.size() == 1 && targets.front().targetId == "previous");
}

TEST_F(TargetManagerAzureTest, CreateTargetTakesTheFirstFreeWholeNameUpTo255) {
    std::vector<std::string> taken; // T1 .. T255
    for (int i = 1; i <= 255; ++i) taken.push_back("T" + std::to_string(i));
    // Expected empty: every name is taken and nothing is uploaded.
    const struct { std::vector<std::string> folders, files; std::string expected; } cases[] = {
        {{"T1", "T10"}, {"T2"}, "T3"}, {{"T1x", "X1"}, {}, "T1"},
        {{taken.begin(), taken.end() - 1}, {}, "T255"}, {taken, {}, ""}};
    for (const auto &c : cases) {
        const size_t before = m_fake.requests().size();
        m_fake.respond(listing(c.folders, c.files)).respondOk();
        EXPECT_EQ(c.expected, m_manager.createTarget("T", "link-1", 0));
        EXPECT_EQ(TM_ERR_NONE, m_manager.getErrorCode()) << c.expected;
        ASSERT_EQ(before + (c.expected.empty() ? 1 : 2), m_fake.requests().size()) << c.expected;
        const Json::Value upload = m_fake.requestEntries().back();
        const Json::Value &request = upload["request"];
        EXPECT_TRUE(c.expected.empty() || (request["fn"] == "createBlockBlob" &&
                                           request["blob"] == c.expected + "/vornbkpinfo.db" &&
                                           upload["fileInputSize"].asInt() > 0)) << c.expected;
    }
}

TEST_F(TargetManagerAzureTest, GetCandidateDirProposesTheFirstFreeHostName) {
    char name[65] = {};
    gethostname(name, sizeof name - 1);
    const std::string host = name;
    // An empty container is proven end to end.
    const struct { std::vector<std::string> folders; std::string expected; } cases[] = {
        {{host + "_1", host + "_2"}, "_3"}, {{host + "_10", "other_1"}, "_1"}};
    std::string dir;
    for (const auto &c : cases) {
        m_fake.respond(listing(c.folders));
        EXPECT_TRUE(m_manager.getCandidateDir(dir) && dir == host + c.expected) << dir;
    }
}

// A free name gets a new info database; an existing one is adopted only when it holds an info
// database recording the same key, and nothing is uploaded then.
TEST_F(TargetManagerAzureTest, CreateTargetByDirNameCreatesOrAdoptsOnlyItsOwn) {
    vorntest::makeFile(m_fake.path("garbage"), 4096);
    Json::Value copyGarbage = json(R"({"response": {"success": true}})");
    copyGarbage["copy_output"] = m_fake.path("garbage");
    const struct { const char *name; std::function<void()> steps; TM_ERROR_CODE error; } cases[] = {
        {"free", [&] { scriptMissing(2).respondOk(); }, TM_ERR_NONE},
        {"not a database", [&] {
             m_fake.respond(blobProperties(4096)).respond(blobProperties(4096)).step(copyGarbage);
         }, TM_ERR_NOT_OWN_TARGET},
        {"directory without it", [&] { scriptMissing().fail(404).respond(listing({"D"})); },
         TM_ERR_NOT_OWN_TARGET},
        {"single blob", [&] { scriptMissing().respond(blobProperties(1)); }, TM_ERR_NOT_OWN_TARGET},
        {"check refused", [&] { m_fake.fail(403); }, TM_ERR_ACCESS_REFUSED},
    };
    for (const auto &c : cases) {
        c.steps();
        m_manager.setError(TM_ERR_NONE);
        EXPECT_EQ(c.error == TM_ERR_NONE, m_manager.createTargetByDirName("D", "link-1")) << c.name;
        EXPECT_EQ(c.error, m_manager.getErrorCode()) << c.name;
    }
    // One request for each scripted step: the free name's checks of D/vornbkpinfo.db and D and
    // its upload, and no other upload or probing after.
    const std::vector<Json::Value> entries = m_fake.requestEntries();
    ASSERT_EQ(16u, entries.size());
    EXPECT_EQ("D/vornbkpinfo.db", entries[0]["request"]["blob"].asString());
    EXPECT_EQ("D", entries[2]["request"]["blob"].asString());
    EXPECT_EQ("createBlockBlob", entries[4]["request"]["fn"].asString());
    EXPECT_EQ("D/vornbkpinfo.db", entries[4]["request"]["blob"].asString());
    EXPECT_GT(entries[4]["fileInputSize"].asInt(), 0);
}

// The configuration goes up through TMPDIR; the service's time and the options land in the
// cache, which a failed upload leaves alone.
TEST_F(TargetManagerAzureTest, SetTaskConfigStoresTheServiceTimeInTheCache) {
    Task task(5);
    task.getOptions().optSet("name", std::string("nightly"));
    ASSERT_TRUE(task.save());
    EXPECT_FALSE(m_manager.setTaskConfig("T1", 99)); // no such task
    EXPECT_EQ(TM_ERR_INVALID_INPUT, m_manager.getErrorCode());
    long time = 0;
    m_fake.fail(403, "AuthorizationFailure");
    EXPECT_FALSE(m_manager.setTaskConfig("T1", 5));
    EXPECT_EQ(TM_ERR_ACCESS_REFUSED, m_manager.getErrorCode());
    EXPECT_FALSE(TargetInfoCache(7, "T1").getTimestamp("TaskConfig", time));
    m_fake.respondOk().respond(blobProperties(20, 1234567890));
    ASSERT_TRUE(m_manager.setTaskConfig("T1", 5));
    const std::vector<Json::Value> entries = m_fake.requestEntries();
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ("T1/_Vorn_TaskConfig", entries[1]["request"]["blob"].asString());
    EXPECT_EQ(0u, entries[1]["request"]["fileInput"].asString().rfind(m_fake.path("tmp/"), 0));
    EXPECT_GT(entries[1]["fileInputSize"].asInt(), 0);
    EXPECT_EQ(json(R"({"fn": "getBlobProperties", "container": "backups",
                       "blob": "T1/_Vorn_TaskConfig"})"), entries[2]["request"]);
    EXPECT_TRUE(TargetInfoCache(7, "T1").getTimestamp("TaskConfig", time) && time == 1234567890);
    OptionMap cached;
    EXPECT_TRUE(TargetInfoCache(7, "T1").getSection("TaskConfig", cached) &&
                cached.optString("name") == "nightly");
}

} // namespace
