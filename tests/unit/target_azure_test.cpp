// TargetManagerAzure against the scripted agent: containers, target listing and creation,
// adoption by directory name and the task configuration.
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>
#include <syslog.h>
#include <unistd.h>

#include "fake_agent.h"
#include "syslog_capture.h"
#include "target_azure.h"
#include "vorn/backup/backup_info_db.h"
#include "vorn/backup/cache.h"

using namespace VORN::Backup;
using vorntest::FakeAgent;
using vorntest::SyslogCapture;
using ::testing::IsEmpty;

namespace {

std::mutex g_tempMutex;
std::vector<std::string> g_tempFiles;

void recordTempFile(const char *path) {
    std::lock_guard<std::mutex> lock(g_tempMutex);
    g_tempFiles.push_back(path);
}

} // namespace

// Every temporary file this process makes is recorded, so that a test can check that the
// plug-in removed its own files in /tmp without seeing those of other test processes.
extern "C" int mkstemp(char *templ) {
    static const auto real = reinterpret_cast<int (*)(char *)>(dlsym(RTLD_NEXT, "mkstemp"));
    const int fd = real(templ);
    if (fd >= 0) {
        recordTempFile(templ);
    }
    return fd;
}

namespace {

const char *const CREATE_DB_PREFIX = "/tmp/azure_tm.vornbkpinfo.db.";
const char *const ADOPT_DB_PREFIX = "/tmp/cloud_tm.vornbkpinfo.db.";
const char *const TASK_CONFIG_PREFIX = "/tmp/TASK_CONFIG.";

using vorntest::json;

// A "listBlobs" page of the container root.
Json::Value listing(const std::vector<std::string> &folders,
                    const std::vector<std::string> &files = {}) {
    Json::Value response(Json::objectValue);
    response["success"] = true;
    response["count"] = static_cast<int>(folders.size() + files.size());
    response["folder"] = Json::Value(Json::arrayValue);
    response["file"] = Json::Value(Json::arrayValue);
    for (const std::string &name : folders) {
        response["folder"].append(json("{}"))["Name"] = name + "/";
    }
    for (const std::string &name : files) {
        response["file"].append(json(R"({"Properties": {"ContentLength": 1}})"))["Name"] = name;
    }
    return response;
}

Json::Value blobProperties(long long size, long mtime = 1600000000) {
    Json::Value response = json(R"({"success": true, "Properties": {"ETag": "0x1"}})");
    response["Properties"]["ContentLength"] = static_cast<Json::Int64>(size);
    response["Properties"]["LastModified"] = static_cast<Json::Int64>(mtime);
    return response;
}

std::string hostName() {
    char name[65] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

class TargetManagerAzureTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *name : {"VORN_CONFIG_DIR", "VORN_CACHE_DIR"}) {
            const char *value = getenv(name);
            m_savedEnv.emplace_back(name, value ? value : "\x01");
        }
        setenv("VORN_CONFIG_DIR", m_fake.path("config").c_str(), 1);
        setenv("VORN_CACHE_DIR", m_fake.path("cache").c_str(), 1);
        SyslogCapture::clear();
        std::lock_guard<std::mutex> lock(g_tempMutex);
        m_firstTemp = g_tempFiles.size();
    }
    void TearDown() override {
        EXPECT_THAT(m_fake.tempFiles(), IsEmpty());
        for (const auto &saved : m_savedEnv) {
            if (saved.second == "\x01") {
                unsetenv(saved.first.c_str());
            } else {
                setenv(saved.first.c_str(), saved.second.c_str(), 1);
            }
        }
    }

    // The temporary files with `prefix` made since the test began; each must be gone.
    std::vector<std::string> madeTempFiles(const std::string &prefix) {
        std::vector<std::string> made;
        std::lock_guard<std::mutex> lock(g_tempMutex);
        for (size_t i = m_firstTemp; i < g_tempFiles.size(); ++i) {
            if (g_tempFiles[i].compare(0, prefix.size(), prefix) == 0) {
                made.push_back(g_tempFiles[i]);
                EXPECT_FALSE(std::filesystem::exists(g_tempFiles[i])) << g_tempFiles[i];
            }
        }
        return made;
    }

    // An info database recording `linkKey`, as the fake agent delivers it.
    std::string makeInfoDb(const std::string &linkKey) {
        const std::string path = m_fake.path("db-" + linkKey);
        BackupInfoDb db;
        EXPECT_TRUE(db.create(path, linkKey));
        EXPECT_TRUE(db.close());
        return path;
    }

    // Scripts the agent for an existing info database at D/vornbkpinfo.db whose copy is `file`.
    void scriptInfoDbDownload(const std::string &file) {
        const long long size = static_cast<long long>(std::filesystem::file_size(file));
        m_fake.respond(blobProperties(size)).respond(blobProperties(size));
        Json::Value download = json(R"({"response": {"success": true}})");
        download["copy_output"] = file;
        m_fake.step(download);
    }

    std::vector<std::string> sentFns() const {
        std::vector<std::string> fns;
        for (const Json::Value &request : m_fake.requests()) {
            fns.push_back(request["fn"].asString());
        }
        return fns;
    }

    FakeAgent m_fake;
    TargetManagerAzure m_manager{vorntest::makeRepository()};

private:
    std::vector<std::pair<std::string, std::string>> m_savedEnv;
    size_t m_firstTemp = 0;
};

// ---- container ----

TEST_F(TargetManagerAzureTest, GetStatusReportsReachabilityAndEmptiesTheText) {
    std::string status = "stale";
    m_fake.respondOk().fail(404, "ContainerNotFound");
    EXPECT_EQ(1, m_manager.getStatus(status));
    EXPECT_EQ("", status);
    status = "stale";
    EXPECT_EQ(-1, m_manager.getStatus(status));
    EXPECT_EQ("", status);
    EXPECT_EQ(TM_ERR_NOT_FOUND, m_manager.getErrorCode());
    EXPECT_EQ(json(R"({"fn": "getContainerProperties", "container": "backups"})"),
              m_fake.requests().at(0));
}

TEST_F(TargetManagerAzureTest, CreateContainerClassifiesFailures) {
    const struct {
        int code;
        TM_ERROR_CODE error;
        bool logged;
    } cases[] = {
        {400, TM_ERR_BAD_REQUEST, false},
        {409, TM_ERR_CONFLICT, false},
        {403, TM_ERR_ACCESS_REFUSED, true},
        {-2, TM_ERR_ACCESS_REFUSED, true},
        {302, TM_ERR_GENERIC, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        SyslogCapture::clear();
        m_fake.fail(c.code, "refused");
        EXPECT_FALSE(m_manager.createContainer());
        EXPECT_EQ(c.error, m_manager.getErrorCode());
        const vorntest::LogLine line = SyslogCapture::find("createContainer(backups) failed: ");
        EXPECT_EQ(c.logged ? LOG_ERR : -1, line.priority);
        if (c.logged) {
            EXPECT_THAT(line.text, ::testing::StartsWith("target_azure:"));
            EXPECT_THAT(line.text, ::testing::HasSubstr("refused"));
        }
    }
    m_fake.respondOk();
    EXPECT_TRUE(m_manager.createContainer());
    EXPECT_EQ(json(R"({"fn": "createContainer", "container": "backups"})"),
              m_fake.requests().back());
}

TEST_F(TargetManagerAzureTest, CreateContainerWithoutNameSendsNothing) {
    TargetManagerAzure manager(vorntest::makeRepository(""));
    EXPECT_FALSE(manager.createContainer());
    EXPECT_EQ(TM_ERR_INVALID_INPUT, manager.getErrorCode());
    EXPECT_THAT(m_fake.requests(), IsEmpty());
    EXPECT_THAT(SyslogCapture::lines(), IsEmpty());
}

TEST_F(TargetManagerAzureTest, AgentThatCannotStartFailsEveryContainerOperation) {
    m_fake.removeScript();
    std::string status;
    EXPECT_EQ(-1, m_manager.getStatus(status));
    EXPECT_EQ(TM_ERR_GENERIC, m_manager.getErrorCode());
    OptionMap options;
    EXPECT_FALSE(m_manager.getAvailableOptions(options));
    EXPECT_FALSE(m_manager.createContainer());
    EXPECT_EQ(TM_ERR_GENERIC, m_manager.getErrorCode());
}

// The transfer agent's last response is an earlier success; a restart that fails must not
// be taken for a successful operation.
TEST_F(TargetManagerAzureTest, FailedRestartAfterEarlierSuccessIsAFailure) {
    std::list<TargetInfo> targets;
    m_fake.respond(listing({})).step(json(R"({"exit": 1})"));
    ASSERT_TRUE(m_manager.listTarget(targets));
    std::string status;
    EXPECT_EQ(-1, m_manager.getStatus(status));
    m_fake.removeScript();
    m_manager.setError(TM_ERR_NONE);
    EXPECT_FALSE(m_manager.createContainer());
    EXPECT_EQ(TM_ERR_GENERIC, m_manager.getErrorCode());
    EXPECT_FALSE(m_manager.listTarget(targets));
}

TEST_F(TargetManagerAzureTest, GetAvailableOptionsStoresTheContainerNames) {
    m_fake.respond(json(R"({"success": true, "container": [{"Name": "alpha"}, {"Name": "beta"}]})"))
        .respondOk()
        .fail(403);
    OptionMap options;
    Json::Value stored;
    ASSERT_TRUE(m_manager.getAvailableOptions(options));
    ASSERT_TRUE(options.optGet(Repository::SZK_REMOTE_BUCKET, stored));
    EXPECT_EQ(json(R"(["alpha", "beta"])"), stored);

    ASSERT_TRUE(m_manager.getAvailableOptions(options));
    ASSERT_TRUE(options.optGet(Repository::SZK_REMOTE_BUCKET, stored));
    EXPECT_TRUE(stored.isArray());
    EXPECT_EQ(0u, stored.size());

    EXPECT_FALSE(m_manager.getAvailableOptions(options));
    EXPECT_EQ(TM_ERR_ACCESS_REFUSED, m_manager.getErrorCode());
    EXPECT_EQ(json(R"({"fn": "listContainers"})"), m_fake.requests().at(0));
}

TEST_F(TargetManagerAzureTest, IsSameRepositoryComparesAccountAndContainer) {
    const auto repository = [](const std::string &targetType, const std::string &transferType,
                               const char *key, const char *container, const char *secret) {
        OptionMap options;
        if (key) options.optSet(Repository::SZK_REMOTE_KEY, std::string(key));
        if (container) options.optSet(Repository::SZK_REMOTE_BUCKET, std::string(container));
        if (secret) options.optSetSecret(Repository::SZK_REMOTE_SECRET, secret);
        return Repository(3, targetType, transferType, options);
    };
    const Repository own = repository("cloud", "azure", "acct", "box", "s1");
    const struct {
        const char *name;
        Repository mine, other;
        bool same;
    } cases[] = {
        {"only the secret differs", own, repository("cloud", "azure", "acct", "box", "s2"), true},
        {"other account", own, repository("cloud", "azure", "acct2", "box", "s1"), false},
        {"other container", own, repository("cloud", "azure", "acct", "box2", "s1"), false},
        {"other transfer type", own, repository("cloud", "s3", "acct", "box", "s1"), false},
        {"other target type", own, repository("local", "azure", "acct", "box", "s1"), false},
        {"other has no options", own, Repository(), false},
        {"both lack the key", repository("cloud", "azure", nullptr, "box", "s1"),
         repository("cloud", "azure", nullptr, "box", "s1"), false},
        {"other lacks the container", own, repository("cloud", "azure", "acct", nullptr, "s1"),
         false},
        {"equal but not cloud", repository("local", "azure", "acct", "box", "s1"),
         repository("local", "azure", "acct", "box", "s1"), false},
    };
    for (const auto &c : cases) {
        TargetManagerAzure manager(c.mine);
        EXPECT_EQ(c.same, manager.isSameRepository(c.other)) << c.name;
    }
    EXPECT_THAT(m_fake.starts(), IsEmpty());
}

TEST_F(TargetManagerAzureTest, OperationsWithoutRemoteWork) {
    TargetInfo info;
    info.targetId = "kept";
    info.online = info.busy = info.readOnly = true;
    EXPECT_TRUE(m_manager.getTarget("no-such-target", info));
    EXPECT_FALSE(info.busy);
    EXPECT_TRUE(info.online && info.readOnly);
    EXPECT_EQ("kept", info.targetId);

    EXPECT_FALSE(m_manager.removeTarget("T1"));
    EXPECT_EQ(TM_ERR_NOT_SUPPORTED, m_manager.getErrorCode());
    std::list<Repository> repositories;
    m_manager.setError(TM_ERR_NONE);
    EXPECT_FALSE(m_manager.findRepository(repositories));
    EXPECT_EQ(TM_ERR_NOT_SUPPORTED, m_manager.getErrorCode());
    EXPECT_TRUE(m_manager.removeRepository());
    EXPECT_THAT(m_fake.starts(), IsEmpty());
}

// ---- target listing and creation ----

TEST_F(TargetManagerAzureTest, ListTargetKeepsDirectoriesHoldingAnInfoDatabase) {
    m_fake.respond(listing({"A", "B", "C"}, {"T9", "vornbkpinfo.db"}))
        .respondOk()
        .fail(404)
        .respondOk()
        .respond(listing({}));
    std::list<TargetInfo> targets(2);
    ASSERT_TRUE(m_manager.listTarget(targets));
    ASSERT_EQ(2u, targets.size());
    EXPECT_EQ("A", targets.front().targetId);
    EXPECT_EQ("C", targets.back().targetId);

    const std::vector<Json::Value> requests = m_fake.requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(
        json(R"({"fn": "listBlobs", "container": "backups", "Prefix": "", "Delimiter": "/"})"),
        requests[0]);
    EXPECT_EQ("B/vornbkpinfo.db", requests[2]["blob"].asString());
    EXPECT_EQ(-1, SyslogCapture::find("target_azure:").priority);

    ASSERT_TRUE(m_manager.findTarget(targets));
    EXPECT_THAT(targets, IsEmpty());
}

TEST_F(TargetManagerAzureTest, ListTargetFailingCheckLeavesTheListUnchanged) {
    m_fake.respond(listing({"A", "B", "C"})).respondOk().respondOk().fail(403);
    std::list<TargetInfo> targets(1);
    targets.front().targetId = "previous";
    EXPECT_FALSE(m_manager.listTarget(targets));
    EXPECT_EQ(TM_ERR_ACCESS_REFUSED, m_manager.getErrorCode());
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ("previous", targets.front().targetId);
    EXPECT_EQ(LOG_ERR, SyslogCapture::find("check [C/vornbkpinfo.db] exist failed").priority);
}

TEST_F(TargetManagerAzureTest, CreateTargetTakesTheFirstFreeWholeName) {
    const struct {
        std::vector<std::string> folders, files;
        std::string expected;
    } cases[] = {
        {{"T1", "T10"}, {"T2"}, "T3"},
        {{"T1x", "X1"}, {}, "T1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        m_fake.respond(listing(c.folders, c.files)).respondOk();
        EXPECT_EQ(c.expected, m_manager.createTarget("T", "link-1", 0));
        const Json::Value upload = m_fake.requestEntries().back();
        EXPECT_EQ("createBlockBlob", upload["request"]["fn"].asString());
        EXPECT_EQ(c.expected + "/vornbkpinfo.db", upload["request"]["blob"].asString());
        EXPECT_THAT(upload["request"]["fileInput"].asString(),
                    ::testing::StartsWith(CREATE_DB_PREFIX));
        EXPECT_GT(upload["fileInputSize"].asInt(), 0);
    }
    EXPECT_EQ(2u, madeTempFiles(CREATE_DB_PREFIX).size());
}

TEST_F(TargetManagerAzureTest, CreateTargetWithEveryNameTakenGivesUp) {
    std::vector<std::string> folders;
    for (int n = 1; n <= 255; ++n) {
        folders.push_back("T" + std::to_string(n));
    }
    m_fake.respond(listing(folders));
    EXPECT_EQ("", m_manager.createTarget("T", "link-1", 0));
    EXPECT_EQ(TM_ERR_NONE, m_manager.getErrorCode());
    EXPECT_EQ(std::vector<std::string>{"listBlobs"}, sentFns());
    EXPECT_EQ(1u, madeTempFiles(CREATE_DB_PREFIX).size());
}

TEST_F(TargetManagerAzureTest, CreateTargetFailures) {
    EXPECT_EQ("", m_manager.createTarget("", "link-1", 0));
    EXPECT_EQ(TM_ERR_INVALID_INPUT, m_manager.getErrorCode());
    EXPECT_EQ("", m_manager.createTarget("T", "", 0));
    EXPECT_EQ(LOG_ERR, SyslogCapture::find("invlid input").priority);
    EXPECT_THAT(m_fake.starts(), IsEmpty());

    m_fake.respond(listing({})).fail(403);
    EXPECT_EQ("", m_manager.createTarget("T", "link-1", 0));
    EXPECT_EQ(TM_ERR_ACCESS_REFUSED, m_manager.getErrorCode());
    EXPECT_EQ(1u, madeTempFiles(CREATE_DB_PREFIX).size());
}

// ---- adoption by directory name ----

TEST_F(TargetManagerAzureTest, GetCandidateDirProposesTheFirstFreeHostName) {
    const std::string host = hostName();
    const struct {
        std::vector<std::string> folders, files;
        std::string expected;
    } cases[] = {
        {{}, {}, "_1"},
        {{host + "_1", host + "_2"}, {}, "_3"},
        {{host + "_10", "other_1"}, {}, "_1"},
        {{}, {host + "_1"}, "_2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        m_fake.respond(listing(c.folders, c.files));
        std::string dir;
        EXPECT_TRUE(m_manager.getCandidateDir(dir));
        EXPECT_EQ(host + c.expected, dir);
    }
    m_fake.fail(403);
    std::string dir = "unchanged";
    EXPECT_FALSE(m_manager.getCandidateDir(dir));
    EXPECT_EQ("unchanged", dir);
    EXPECT_EQ(TM_ERR_ACCESS_REFUSED, m_manager.getErrorCode());
}

TEST_F(TargetManagerAzureTest, CreateTargetByDirNameCreatesAFreeName) {
    // Neither D/vornbkpinfo.db nor D exists: blob lookups miss, listings are empty.
    m_fake.fail(404).respond(listing({})).fail(404).respond(listing({})).respondOk();
    EXPECT_TRUE(m_manager.createTargetByDirName("D", "link-1"));
    const std::vector<Json::Value> entries = m_fake.requestEntries();
    ASSERT_EQ(5u, entries.size());
    EXPECT_EQ("D/vornbkpinfo.db", entries[0]["request"]["blob"].asString());
    EXPECT_EQ("D", entries[2]["request"]["blob"].asString());
    const Json::Value &upload = entries[4];
    EXPECT_EQ("createBlockBlob", upload["request"]["fn"].asString());
    EXPECT_EQ("D/vornbkpinfo.db", upload["request"]["blob"].asString());
    EXPECT_THAT(upload["request"]["fileInput"].asString(), ::testing::StartsWith(ADOPT_DB_PREFIX));
    EXPECT_GT(upload["fileInputSize"].asInt(), 0);
    EXPECT_EQ(1u, madeTempFiles(ADOPT_DB_PREFIX).size());
}

TEST_F(TargetManagerAzureTest, CreateTargetByDirNameAdoptsOnlyItsOwnDatabase) {
    const std::string garbage = m_fake.path("garbage");
    vorntest::makeFile(garbage, 4096);
    const struct {
        std::string file;
        bool adopted;
    } cases[] = {
        {makeInfoDb("link-1"), true},
        {makeInfoDb("link-2"), false},
        {garbage, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        scriptInfoDbDownload(c.file);
        m_manager.setError(TM_ERR_NONE);
        EXPECT_EQ(c.adopted, m_manager.createTargetByDirName("D", "link-1"));
        EXPECT_EQ(c.adopted ? TM_ERR_NONE : TM_ERR_NOT_OWN_TARGET, m_manager.getErrorCode());
    }
    EXPECT_EQ(LOG_ERR, SyslogCapture::find("info_db.open failed").priority);
    EXPECT_THAT(sentFns(), ::testing::Not(::testing::Contains("createBlockBlob")));
    EXPECT_EQ(3u, madeTempFiles(ADOPT_DB_PREFIX).size());
}

TEST_F(TargetManagerAzureTest, CreateTargetByDirNameRefusesForeignContent) {
    // A directory D holding blobs but no info database.
    m_fake.fail(404).respond(listing({})).fail(404).respond(listing({"D"}));
    EXPECT_FALSE(m_manager.createTargetByDirName("D", "link-1"));
    EXPECT_EQ(TM_ERR_NOT_OWN_TARGET, m_manager.getErrorCode());
    // A single blob named D.
    m_fake.fail(404).respond(listing({})).respond(blobProperties(10));
    m_manager.setError(TM_ERR_NONE);
    EXPECT_FALSE(m_manager.createTargetByDirName("D", "link-1"));
    EXPECT_EQ(TM_ERR_NOT_OWN_TARGET, m_manager.getErrorCode());
    EXPECT_EQ(7u, m_fake.requests().size());
    EXPECT_THAT(sentFns(), ::testing::Not(::testing::Contains("createBlockBlob")));
    EXPECT_EQ(2u, madeTempFiles(ADOPT_DB_PREFIX).size());
}

TEST_F(TargetManagerAzureTest, CreateTargetByDirNameFailures) {
    EXPECT_FALSE(m_manager.createTargetByDirName("", "link-1"));
    EXPECT_FALSE(m_manager.createTargetByDirName("D", ""));
    EXPECT_EQ(TM_ERR_INVALID_INPUT, m_manager.getErrorCode());
    EXPECT_EQ(LOG_ERR, SyslogCapture::find("invlid input").priority);
    EXPECT_THAT(m_fake.starts(), IsEmpty());

    m_fake.fail(403);
    EXPECT_FALSE(m_manager.createTargetByDirName("D", "link-1"));
    EXPECT_EQ(TM_ERR_ACCESS_REFUSED, m_manager.getErrorCode());
    EXPECT_EQ(1u, m_fake.requests().size());
    EXPECT_EQ(1u, madeTempFiles(ADOPT_DB_PREFIX).size());
}

// ---- task configuration ----

class TargetTaskConfigTest : public TargetManagerAzureTest {
protected:
    void SetUp() override {
        TargetManagerAzureTest::SetUp();
        Task task(5);
        task.getOptions().optSet("name", std::string("nightly"));
        ASSERT_TRUE(task.save());
    }
    static bool cachedTimestamp(long &time) {
        return TargetInfoCache(7, "T1").getTimestamp("TaskConfig", time);
    }
};

TEST_F(TargetTaskConfigTest, StoresTheServiceTimeInTheCache) {
    m_fake.respondOk().respond(blobProperties(20, 1234567890));
    ASSERT_TRUE(m_manager.setTaskConfig("T1", 5));

    const std::vector<Json::Value> entries = m_fake.requestEntries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("T1/_Vorn_TaskConfig", entries[0]["request"]["blob"].asString());
    EXPECT_THAT(entries[0]["request"]["fileInput"].asString(),
                ::testing::StartsWith(TASK_CONFIG_PREFIX));
    EXPECT_GT(entries[0]["fileInputSize"].asInt(), 0);
    EXPECT_EQ(json(R"({"fn": "getBlobProperties", "container": "backups",
                       "blob": "T1/_Vorn_TaskConfig"})"),
              entries[1]["request"]);

    long time = 0;
    ASSERT_TRUE(cachedTimestamp(time));
    EXPECT_EQ(1234567890, time);
    OptionMap cached;
    ASSERT_TRUE(TargetInfoCache(7, "T1").getSection("TaskConfig", cached));
    EXPECT_EQ("nightly", cached.optString("name"));
    EXPECT_EQ(1u, madeTempFiles(TASK_CONFIG_PREFIX).size());
}

TEST_F(TargetTaskConfigTest, TaskThatCannotBeLoadedSendsNothing) {
    EXPECT_FALSE(m_manager.setTaskConfig("T1", 99));
    EXPECT_EQ(TM_ERR_INVALID_INPUT, m_manager.getErrorCode());
    EXPECT_EQ(LOG_ERR, SyslogCapture::find("task load failed. task id[99]").priority);
    EXPECT_THAT(m_fake.requests(), IsEmpty());
    EXPECT_EQ(1u, madeTempFiles(TASK_CONFIG_PREFIX).size());
}

TEST_F(TargetTaskConfigTest, FailedUploadLeavesTheCacheAlone) {
    m_fake.fail(403, "AuthorizationFailure");
    EXPECT_FALSE(m_manager.setTaskConfig("T1", 5));
    EXPECT_EQ(TM_ERR_ACCESS_REFUSED, m_manager.getErrorCode());
    const vorntest::LogLine line =
        SyslogCapture::find("send(backups,T1/_Vorn_TaskConfig) failed, ");
    EXPECT_EQ(LOG_ERR, line.priority);
    EXPECT_THAT(line.text, ::testing::HasSubstr("AuthorizationFailure"));
    EXPECT_EQ(1u, m_fake.requests().size());
    long time = 0;
    EXPECT_FALSE(cachedTimestamp(time));
    EXPECT_EQ(1u, madeTempFiles(TASK_CONFIG_PREFIX).size());
}

TEST_F(TargetTaskConfigTest, TimestampOfAMissingConfigIsNotFound) {
    // The blob lookup misses and the listing of T1 succeeds without it.
    m_fake.fail(404).respond(listing({}));
    long time = 42;
    EXPECT_FALSE(m_manager.getTaskConfigTimestamp("T1", time));
    EXPECT_EQ(42, time);
    EXPECT_EQ(TM_ERR_NOT_FOUND, m_manager.getErrorCode());
}

} // namespace
