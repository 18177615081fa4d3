// TransferAgentAzure against the scripted fake agent: the exact requests, errors, logs and files.
#include <dlfcn.h>
#include <syslog.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include "fake_agent.h"
#include "syslog_capture.h"
#include "transfer_azure.h"
#include "vorn/backup/path.h"

namespace fs = std::filesystem;
using VORN::Backup::FileInfo;
using VORN::Backup::Task;
using VORN::Backup::TransferAgentAzure;
using vorntest::SyslogCapture;

namespace {

using vorntest::json;

const long long MTIME = 1700000000;
const char *const ETAG = "\"0x8DC0FFEE\"";

Json::Value blobProperties(long long size) {
    Json::Value response = json(R"({"success": true})");
    response["Properties"]["LastModified"] = Json::Int64(MTIME);
    response["Properties"]["ContentLength"] = Json::Int64(size);
    response["Properties"]["ETag"] = ETAG;
    return response;
}

Json::Value failure(int code, const std::string &message = "") {
    Json::Value response = json(R"({"success": false})");
    response["error_code"] = code;
    response["error_message"] = message;
    return response;
}

// A step that answers success after writing `output` ("range" or a byte count) to "fileOutput".
Json::Value writing(const Json::Value &output) {
    Json::Value step = json(R"({"response": {"success": true}})");
    step["write_output"] = output;
    return step;
}

std::vector<std::string> fileNames(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

class TransferAzureTest : public ::testing::Test {
protected:
    TransferAzureTest() : agent(vorntest::makeRepository("backups")) {
        fs::create_directories(localDir());
        SyslogCapture::clear();
    }

    // Whatever a test did, no temporary file may outlive the operation.
    void TearDown() override {
        EXPECT_TRUE(fake.tempFiles().empty()) << fake.tempFiles().front();
        for (const std::string &name : fileNames(localDir())) {
            EXPECT_NE(name[0], '.') << "temporary file left beside the destination: " << name;
        }
    }

    std::string localDir() const { return fake.path("local"); }
    std::string local(const std::string &name) const { return localDir() + "/" + name; }

    boost::function<bool(long long)> recordProgress() {
        return [this](long long n) {
            moved.push_back(n);
            return false; // ignored: only the cancel hook stops a transfer
        };
    }

    bool noErrorLogged() const {
        for (const vorntest::LogLine &line : SyslogCapture::lines()) {
            if (line.priority == LOG_ERR && line.text.rfind("transfer_azure:", 0) == 0) {
                return false;
            }
        }
        return true;
    }

    vorntest::FakeAgent fake;
    TransferAgentAzure agent;
    std::vector<long long> moved;
};

// ---- core ----

TEST_F(TransferAzureTest, BlobPathJoinsTargetIdAndDropsTrailingSlashes) {
    const struct {
        const char *targetId, *path, *blob;
    } cases[] = {
        {"", "", ""},       {"", "a/b", "a/b"},   {"T", "", "T"},  {"T", "a/b", "T/a/b"},
        {"T", "a/", "T/a"}, {"T", "a///", "T/a"}, {"", "/", ""},   {"", "///", ""},
        {"/", "", ""},      {"", "/a/", "/a"},    {"T/", "", "T"},
    };
    for (const auto &c : cases) {
        agent.setTargetId(c.targetId);
        EXPECT_EQ(agent.getBlobPath(c.path), c.blob)
            << "target id [" << c.targetId << "] path [" << c.path << "]";
    }
}

TEST_F(TransferAzureTest, IsValidNeedsContainerAndBothCredentialsWithoutStartingTheAgent) {
    const struct {
        const char *container;
        bool key, secret, valid;
    } cases[] = {
        {"backups", true, true, true},
        {"", true, true, false},
        {"backups", true, false, false},
        {"backups", false, true, false},
    };
    for (const auto &c : cases) {
        TransferAgentAzure candidate(vorntest::makeRepository(c.container, c.key, c.secret));
        EXPECT_EQ(candidate.isValid(), c.valid) << c.container << c.key << c.secret;
        EXPECT_EQ(candidate.getError(), 0);
    }
    EXPECT_TRUE(fake.starts().empty());
    EXPECT_TRUE(SyslogCapture::lines().empty());
}

TEST_F(TransferAzureTest, ExportsUndecoratedFactories) {
    typedef VORN::Backup::TransferAgent *(*Factory)(const VORN::Backup::Repository &);
    typedef VORN::Backup::VersionManager *(*VersionFactory)();
    auto factory = reinterpret_cast<Factory>(dlsym(RTLD_DEFAULT, "getTransferAgent"));
    auto versions = reinterpret_cast<VersionFactory>(dlsym(RTLD_DEFAULT, "getVersionManager"));
    ASSERT_NE(factory, nullptr);
    ASSERT_NE(versions, nullptr);
    EXPECT_EQ(versions(), nullptr);

    std::unique_ptr<VORN::Backup::TransferAgent> created(factory(vorntest::makeRepository()));
    ASSERT_NE(dynamic_cast<TransferAgentAzure *>(created.get()), nullptr);
    EXPECT_TRUE(created->isValid());
    EXPECT_TRUE(fake.starts().empty());
}

TEST_F(TransferAzureTest, AgentStartsOnceWithTheSchemeOfTheTransferOption) {
    Task plain;
    ASSERT_TRUE(agent.setTransferOption(plain));
    EXPECT_FALSE(agent.m_useHttps);
    Task encrypted;
    encrypted.getOptions().optSet(Task::SZK_TRANS_ENCRYPT, true);
    ASSERT_TRUE(agent.setTransferOption(encrypted));
    EXPECT_TRUE(agent.m_useHttps);

    ASSERT_TRUE(agent.checkAndCreateClient());
    ASSERT_TRUE(agent.removeFile("a"));
    ASSERT_TRUE(agent.checkAndCreateClient());
    ASSERT_EQ(fake.starts().size(), 1u);
    EXPECT_EQ(fake.starts()[0]["AZURE_SCHEME"], "https");
    EXPECT_EQ(fake.starts()[0]["AZURE_ACCESS_KEY"], "devaccount");
}

TEST_F(TransferAzureTest, MissingSecretFailsWithInvalidInputAndStartsNothing) {
    TransferAgentAzure noSecret(vorntest::makeRepository("backups", true, false));
    EXPECT_FALSE(noSecret.checkAndCreateClient());
    EXPECT_EQ(noSecret.getError(), 3);

    EXPECT_FALSE(noSecret.removeFile("a"));
    EXPECT_EQ(noSecret.getError(), 3);
    EXPECT_EQ(SyslogCapture::find("create client failed").priority, LOG_ERR);
    EXPECT_TRUE(fake.starts().empty());
}

TEST_F(TransferAzureTest, FailedAgentStartsMapToTransferErrors) {
    const struct {
        const char *startLine; // null: the agent script is missing
        int error;
    } cases[] = {
        {"ValueError: 'c2VjcmV0' is not a valid base64 string, padding", 10},
        {"start!", 1},
        {"Traceback (most recent call last):", 1},
        {nullptr, 1},
    };
    for (const auto &c : cases) {
        if (c.startLine) {
            fake.startLine(c.startLine);
        } else {
            fake.removeScript();
        }
        TransferAgentAzure candidate(vorntest::makeRepository());
        EXPECT_FALSE(candidate.checkAndCreateClient()) << (c.startLine ? c.startLine : "none");
        EXPECT_EQ(candidate.getError(), c.error) << (c.startLine ? c.startLine : "none");
    }
    EXPECT_TRUE(fake.requests().empty());
}

// ---- classification of failed responses ----

TEST_F(TransferAzureTest, FailedLookupsAreClassifiedAndLoggedAtDebugUnlessTheCodeIsMissing) {
    const struct {
        const char *response;
        int error;
        int priority;
    } cases[] = {
        {R"({"success": false, "error_code": -2})", 10, LOG_DEBUG},
        {R"({"success": false, "error_code": 403})", 6, LOG_DEBUG},
        {R"({"success": false, "error_code": 404})", 5, LOG_DEBUG},
        {R"({"success": false, "error_code": 400, "error_message": "One of the request inputs is out of range."})",
         3, LOG_DEBUG},
        {R"({"success": false, "error_code": -4, "error_message": "timed out; Temporary failure in name resolution"})",
         20, LOG_DEBUG},
        {R"({"success": false, "error_code": -4, "error_message": "read timed out"})", 19,
         LOG_DEBUG},
        {R"({"success": false, "error_code": -4, "error_message": "Read Timed Out"})", 8,
         LOG_DEBUG},
        {R"({"success": false, "error_code": -4})", 8, LOG_DEBUG},
        {R"({"success": false, "error_message": "user canceled", "error_code": -3})", 4, LOG_DEBUG},
        {R"({"success": false, "error_code": -5})", 3, LOG_DEBUG},
        {R"({"success": false, "error_code": 409})", 1, LOG_DEBUG},
        {R"({"success": false, "error_code": 302})", 1, LOG_DEBUG},
        {R"({"success": false, "error_code": 503})", 1, LOG_DEBUG},
        {R"({"success": false})", 1, LOG_ERR},
        {R"({"error_message": "no envelope"})", 1, LOG_ERR},
    };
    const std::regex logLine(R"(transfer_azure:\d+ removeFile:\d+ failed, \{.*\})");
    for (const auto &c : cases) {
        Json::Value step;
        step["response"] = json(c.response);
        fake.byDefault(step);
        SyslogCapture::clear();
        EXPECT_FALSE(agent.removeFile("dir/file")) << c.response;
        EXPECT_EQ(agent.getError(), c.error) << c.response;
        const vorntest::LogLine line = SyslogCapture::find("removeFile:");
        EXPECT_EQ(line.priority, c.priority) << c.response << " logged " << line.text;
        EXPECT_TRUE(std::regex_match(line.text, logLine)) << line.text;
    }
}

TEST_F(TransferAzureTest, FailedDataTransfersAreLoggedAsErrorsExceptAbsenceAndConflict) {
    vorntest::makeFile(local("small"), 10);
    const struct {
        int code; // 0: no "error_code"
        int error;
        int priority;
    } cases[] = {{404, 5, LOG_DEBUG}, {409, 1, LOG_DEBUG}, {403, 6, LOG_ERR}, {0, 1, LOG_ERR}};
    for (const auto &c : cases) {
        Json::Value response = failure(c.code);
        if (c.code == 0) {
            response.removeMember("error_code");
        }
        fake.respond(response);
        SyslogCapture::clear();
        FileInfo info;
        EXPECT_FALSE(agent.sendFile(local("small"), "dir/file", {}, info)) << c.code;
        EXPECT_EQ(agent.getError(), c.error) << c.code;
        EXPECT_EQ(SyslogCapture::find("sendFile:").priority, c.priority) << c.code;
        EXPECT_EQ(agent.m_response, response);
    }
}

TEST_F(TransferAzureTest, BadInputIsRefusedBeforeTheAgentStarts) {
    TransferAgentAzure noContainer(vorntest::makeRepository(""));
    vorntest::makeFile(local("f"), 1);
    FileInfo info;
    std::list<FileInfo> entries;
    std::string marker;
    const struct {
        const char *what;
        std::function<bool()> operation;
        const TransferAgentAzure &on;
    } cases[] = {
        {"stat without container", [&] { return noContainer.stat("a", info); }, noContainer},
        {"stat of ..", [&] { return agent.stat("../a", info); }, agent},
        {"list without container",
         [&] { return noContainer.listDirEx("a", entries, marker, false); }, noContainer},
        {"create ../b", [&] { return agent.createDir("../b"); }, agent},
        {"remove directory path", [&] { return agent.removeFile("a/"); }, agent},
        {"remove tree without container", [&] { return noContainer.removeDirRecursive("a"); },
         noContainer},
        {"send without container", [&] { return noContainer.sendFile(local("f"), "x"); },
         noContainer},
        {"send to directory path", [&] { return agent.sendFile(local("f"), "x/"); }, agent},
        {"send empty local path", [&] { return agent.sendFile("", "x"); }, agent},
        {"receive without container", [&] { return noContainer.recvFile("f", local("out")); },
         noContainer},
        {"receive directory path", [&] { return agent.recvFile("f/", local("out")); }, agent},
        {"receive into directory path", [&] { return agent.recvFile("f", local("out/")); }, agent},
    };
    for (const auto &c : cases) {
        EXPECT_FALSE(c.operation()) << c.what;
        EXPECT_EQ(c.on.getError(), 3) << c.what;
    }
    EXPECT_TRUE(agent.createDir("a/b"));
    EXPECT_TRUE(fake.starts().empty());
    EXPECT_TRUE(SyslogCapture::lines().empty());
}

// ---- remote stat ----

TEST_F(TransferAzureTest, StatOfABlobCopiesItsProperties) {
    agent.setTargetId("T");
    fake.respond(blobProperties(1234));
    FileInfo info("dir/file");
    info.setChecksum("stale");
    ASSERT_TRUE(agent.stat("dir/file", info));
    EXPECT_TRUE(info.isRegType());
    EXPECT_EQ(info.getSize(), 1234);
    EXPECT_EQ(info.getMtime(), MTIME);
    EXPECT_EQ(info.getChecksum(), ETAG);
    EXPECT_EQ(info.getRpath(), "dir/file");
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests()[0],
              json(R"({"fn": "getBlobProperties", "container": "backups", "blob": "T/dir/file"})"));
}

TEST_F(TransferAzureTest, StatCopiesOnlyThePropertiesPresent) {
    fake.respond(json(R"({"success": true, "Properties": {"ContentLength": 5}})"));
    fake.respond(json(R"({"success": true})"));
    FileInfo info;
    ASSERT_TRUE(agent.stat("a", info));
    EXPECT_EQ(info.getSize(), 5);
    EXPECT_EQ(info.getMtime(), 0);
    EXPECT_EQ(info.getChecksum(), "");

    ASSERT_TRUE(agent.stat("b", info));
    EXPECT_TRUE(info.isRegType());
    EXPECT_EQ(info.getSize(), 0);
}

TEST_F(TransferAzureTest, StatFindsADirectoryInItsParentsListing) {
    agent.setTargetId("T");
    fake.fail(404, "The specified blob does not exist.");
    fake.respond(json(R"({"success": true, "count": 3,
        "folder": [{"Name": "T/a/x/"}, {"Name": "T/a/b/"}],
        "file": [{"Name": "T/a/b", "Properties": {"ContentLength": 1}}]})"));
    FileInfo info;
    ASSERT_TRUE(agent.stat("a/b//", info));
    EXPECT_TRUE(info.isDirType());
    EXPECT_EQ(info.getSize(), 0);
    EXPECT_EQ(agent.getError(), 0);
    const std::vector<Json::Value> requests = fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0],
              json(R"({"fn": "getBlobProperties", "container": "backups", "blob": "T/a/b"})"));
    EXPECT_EQ(requests[1], json(R"({"fn": "listBlobs", "container": "backups",
                                     "Prefix": "T/a/", "Delimiter": "/"})"));
}

TEST_F(TransferAzureTest, AFileOfTheSameNameIsNoDirectory) {
    fake.fail(404);
    fake.respond(json(R"({"success": true, "count": 1, "file": [{"Name": "b"}]})"));
    EXPECT_FALSE(agent.isExist("b"));
    EXPECT_EQ(agent.getError(), 5);
    ASSERT_EQ(fake.requests().size(), 2u);
    EXPECT_EQ(
        fake.requests()[1],
        json(R"({"fn": "listBlobs", "container": "backups", "Prefix": "", "Delimiter": "/"})"));
}

TEST_F(TransferAzureTest, IsFileExistNeverLooksForDirectories) {
    fake.fail(404);
    fake.fail(404);
    fake.respond(json(R"({"success": true, "count": 1, "folder": [{"Name": "a/"}]})"));
    EXPECT_FALSE(agent.isFileExist("a"));
    EXPECT_EQ(agent.getError(), 5);
    EXPECT_EQ(fake.requests().size(), 1u);
    EXPECT_TRUE(agent.isExist("a"));
    EXPECT_EQ(fake.requests().size(), 3u);
}

TEST_F(TransferAzureTest, StatOfTheContainerRootAsksForTheContainer) {
    fake.respond(json(R"({"success": true, "Properties": {"ContentLength": 9}})"));
    FileInfo info;
    ASSERT_TRUE(agent.stat("", info));
    EXPECT_TRUE(info.isDirType());
    EXPECT_EQ(info.getSize(), 0);
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests()[0],
              json(R"({"fn": "getContainerProperties", "container": "backups"})"));

    fake.fail(404, "The specified container does not exist.");
    EXPECT_FALSE(agent.stat("", info));
    EXPECT_EQ(agent.getError(), 5);
}

TEST_F(TransferAzureTest, StatOfTheTargetRootLooksForTheTargetDirectoryAndRestoresTheTargetId) {
    agent.setTargetId("T");
    fake.fail(404);
    fake.respond(json(R"({"success": true, "count": 1, "folder": [{"Name": "T/"}]})"));
    FileInfo info;
    ASSERT_TRUE(agent.stat("", info));
    EXPECT_TRUE(info.isDirType());
    EXPECT_EQ(agent.getTargetId(), "T");
    std::vector<Json::Value> requests = fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0],
              json(R"({"fn": "getBlobProperties", "container": "backups", "blob": "T"})"));
    EXPECT_EQ(
        requests[1],
        json(R"({"fn": "listBlobs", "container": "backups", "Prefix": "", "Delimiter": "/"})"));

    fake.fail(403);
    EXPECT_FALSE(agent.isFileExist(""));
    EXPECT_EQ(agent.getError(), 6);
    EXPECT_EQ(agent.getTargetId(), "T");
}

TEST_F(TransferAzureTest, StatWithALastComponentOfDotLogsAndLeavesNoError) {
    fake.fail(404);
    FileInfo info;
    EXPECT_FALSE(agent.stat("a/.", info));
    EXPECT_EQ(agent.getError(), 0);
    EXPECT_EQ(SyslogCapture::find("basename could not be empty").priority, LOG_ERR);
    EXPECT_EQ(fake.requests().size(), 1u);
}

// ---- listing ----

TEST_F(TransferAzureTest, ListDirFollowsMarkersOverThreePages) {
    agent.setTargetId("T");
    fake.respond(json(R"({"success": true, "count": 2, "NextMarker": "m1",
        "folder": [{"Name": "T/dir/sub/"}],
        "file": [{"Name": "T/dir/a", "Properties": {"LastModified": 1700000000,
                  "ContentLength": 3, "ETag": "\"e1\""}}]})"));
    fake.respond(json(R"({"success": true, "count": 0, "NextMarker": "m2"})"));
    fake.respond(json(R"({"success": true, "count": 1, "file": [{"Name": "T/dir/b"}]})"));
    std::list<FileInfo> entries{FileInfo("stale")};
    ASSERT_TRUE(agent.listDir("dir/", entries));

    const std::vector<Json::Value> requests = fake.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], json(R"({"fn": "listBlobs", "container": "backups",
                                     "Prefix": "T/dir/", "Delimiter": "/"})"));
    EXPECT_EQ(requests[1], json(R"({"fn": "listBlobs", "container": "backups",
                                     "Prefix": "T/dir/", "Marker": "m1", "Delimiter": "/"})"));
    EXPECT_EQ(requests[2], json(R"({"fn": "listBlobs", "container": "backups",
                                     "Prefix": "T/dir/", "Marker": "m2", "Delimiter": "/"})"));

    ASSERT_EQ(entries.size(), 3u);
    auto it = entries.begin();
    EXPECT_EQ(it->getRpath(), "sub");
    EXPECT_TRUE(it->isDirType());
    ++it;
    EXPECT_EQ(it->getRpath(), "a");
    EXPECT_TRUE(it->isRegType());
    EXPECT_EQ(it->getSize(), 3);
    EXPECT_EQ(it->getMtime(), MTIME);
    EXPECT_EQ(it->getChecksum(), "\"e1\"");
    ++it;
    EXPECT_EQ(it->getRpath(), "b");
    EXPECT_TRUE(it->isRegType());
}

TEST_F(TransferAzureTest, ListDirExReadsEntriesOnlyWithACountAndEndsOnEmptyMarkers) {
    const struct {
        const char *response;
        size_t entries;
        const char *marker;
    } cases[] = {
        {R"({"success": true, "folder": [{"Name": "x/"}], "file": [{"Name": "y"}]})", 0, ""},
        {R"({"success": true, "count": 0, "file": [{"Name": "y"}], "NextMarker": "n"})", 0, "n"},
        {R"({"success": true, "count": 1, "file": [{"Name": "y"}], "NextMarker": null})", 1, ""},
        {R"({"success": true, "count": 1, "folder": [{"Name": "x/"}], "NextMarker": ""})", 1, ""},
    };
    for (const auto &c : cases) {
        fake.respond(json(c.response));
        std::list<FileInfo> entries{FileInfo("kept")};
        std::string marker = "previous";
        ASSERT_TRUE(agent.listDirEx("", entries, marker, false)) << c.response;
        EXPECT_EQ(entries.size(), 1 + c.entries) << c.response;
        EXPECT_EQ(entries.front().getRpath(), "kept");
        EXPECT_EQ(marker, c.marker) << c.response;
    }
    EXPECT_EQ(fake.requests()[0]["Marker"], "previous");
}

TEST_F(TransferAzureTest, FailedPageKeepsTheMarker) {
    fake.fail(403);
    std::list<FileInfo> entries;
    std::string marker = "m7";
    EXPECT_FALSE(agent.listDirEx("a", entries, marker, false));
    EXPECT_EQ(agent.getError(), 6);
    EXPECT_EQ(marker, "m7");
    EXPECT_TRUE(entries.empty());
}

// ---- removal ----

TEST_F(TransferAzureTest, RemoveDirRecursiveDeletesPageAfterPage) {
    agent.setTargetId("T");
    fake.respond(json(R"({"success": true, "count": 2, "NextMarker": "m1",
        "file": [{"Name": "T/dir/a"}, {"Name": "T/dir/x/y"}]})"));
    fake.respondOk().respondOk();
    fake.respond(json(R"({"success": true, "count": 0, "NextMarker": "m2"})"));
    fake.respond(json(R"({"success": true, "count": 2,
        "folder": [{"Name": "T/dir/ignored/"}], "file": [{"Name": "T/dir/z"}]})"));
    fake.respondOk();
    ASSERT_TRUE(agent.removeDirRecursive("dir"));

    const std::vector<Json::Value> expected = {
        json(R"({"fn": "listBlobs", "container": "backups", "Prefix": "T/dir/"})"),
        json(R"({"fn": "deleteBlob", "container": "backups", "blob": "T/dir/a"})"),
        json(R"({"fn": "deleteBlob", "container": "backups", "blob": "T/dir/x/y"})"),
        json(R"({"fn": "listBlobs", "container": "backups", "Prefix": "T/dir/", "Marker": "m1"})"),
        json(R"({"fn": "listBlobs", "container": "backups", "Prefix": "T/dir/", "Marker": "m2"})"),
        json(R"({"fn": "deleteBlob", "container": "backups", "blob": "T/dir/z"})"),
    };
    EXPECT_EQ(fake.requests(), expected);
}

TEST_F(TransferAzureTest, RemoveDirRecursiveStopsAtTheFirstFailedDeletion) {
    fake.respond(
        json(R"({"success": true, "count": 2, "file": [{"Name": "d/a"}, {"Name": "d/b"}]})"));
    fake.fail(404, "The specified blob does not exist.");
    EXPECT_FALSE(agent.removeDirRecursive("d"));
    EXPECT_EQ(agent.getError(), 5);
    EXPECT_EQ(fake.requests().size(), 2u);
}

TEST_F(TransferAzureTest, CancelAfterTheFirstDeletionLeavesTheRestOfTheTree) {
    fake.respond(
        json(R"({"success": true, "count": 2, "file": [{"Name": "d/a"}, {"Name": "d/b"}]})"));
    // True from the moment the agent has received the first deletion.
    agent.setCancelHook([this] { return fake.requests().size() >= 2; });
    EXPECT_FALSE(agent.removeDirRecursive("d"));
    EXPECT_EQ(agent.getError(), 4);
    ASSERT_EQ(fake.requests().size(), 2u);
    EXPECT_EQ(fake.requests()[1],
              json(R"({"fn": "deleteBlob", "container": "backups", "blob": "d/a"})"));
}

// ---- upload ----

struct UploadCase {
    long long size;
    bool https;
    std::vector<long long> blocks; // empty: one createBlockBlob
};

void PrintTo(const UploadCase &c, std::ostream *out) {
    *out << c.size << " bytes over " << (c.https ? "https" : "http");
}

class TransferUploadTest : public TransferAzureTest,
                           public ::testing::WithParamInterface<UploadCase> {};

TEST_P(TransferUploadTest, SendsTheFileInOneRequestOrInNumberedBlocks) {
    const UploadCase &c = GetParam();
    if (!c.https) {
        ASSERT_TRUE(agent.setTransferOption(Task()));
    }
    agent.setTargetId("T");
    const std::string source = local("source");
    vorntest::makeFile(source, c.size);
    for (size_t i = 0; i < c.blocks.size(); ++i) {
        fake.respondOk();
    }
    fake.respond(blobProperties(c.size));

    FileInfo info("dir/file");
    ASSERT_TRUE(agent.sendFile(source, "dir/file", recordProgress(), info));
    EXPECT_EQ(info.getSize(), c.size);
    EXPECT_EQ(info.getMtime(), MTIME);
    EXPECT_EQ(info.getChecksum(), ETAG);
    EXPECT_EQ(fake.starts()[0]["AZURE_SCHEME"], c.https ? "https" : "http");

    const std::vector<Json::Value> entries = fake.requestEntries();
    if (c.blocks.empty()) {
        EXPECT_EQ(moved, std::vector<long long>{c.size});
        ASSERT_EQ(entries.size(), 1u);
        Json::Value expected = json(R"({"fn": "createBlockBlob", "container": "backups",
                                        "blob": "T/dir/file"})");
        expected["fileInput"] = source;
        EXPECT_EQ(entries[0]["request"], expected);
        return;
    }
    EXPECT_EQ(moved, c.blocks);
    ASSERT_EQ(entries.size(), c.blocks.size() + 1);
    const std::string blockFile = entries[0]["request"]["fileInput"].asString();
    EXPECT_EQ(blockFile.rfind(fake.path("tmp/"), 0), 0u) << blockFile;
    for (size_t i = 0; i <= c.blocks.size(); ++i) {
        const bool commit = i == c.blocks.size();
        Json::Value expected(Json::objectValue);
        expected["fn"] = commit ? "commitBlobBlocks" : "createBlobBlock";
        expected["container"] = "backups";
        expected["blob"] = "T/dir/file";
        expected["fileInput"] = blockFile;
        expected["counter"] = static_cast<int>(i);
        EXPECT_EQ(entries[i]["request"], expected);
        if (!commit) {
            EXPECT_EQ(entries[i]["fileInputSize"].asInt64(), c.blocks[i]) << "block " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    BoundarySizes, TransferUploadTest,
    ::testing::Values(UploadCase{0, true, {}}, UploadCase{4194303, true, {}},
                      UploadCase{4194304, true, {4194304}}, UploadCase{4194305, true, {4194304, 1}},
                      UploadCase{33554431, false, {}},
                      UploadCase{33554432, false, std::vector<long long>(8, 4194304)}));

TEST_F(TransferAzureTest, UploadOfMoreThan50000BlocksIsRefusedBeforeAnyRequest) {
    const std::string source = local("huge");
    vorntest::makeFile(source, 209715200001LL, true);
    FileInfo info;
    EXPECT_FALSE(agent.sendFile(source, "huge", recordProgress(), info));
    EXPECT_EQ(agent.getError(), 7);
    EXPECT_EQ(SyslogCapture::find("do not support part count > 50000").priority, LOG_ERR);
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_TRUE(moved.empty());
    fs::remove(source);
}

TEST_F(TransferAzureTest, UploadRefusesWhatIsNoRegularFile) {
    vorntest::makeFile(local("real"), 3);
    fs::create_symlink(local("real"), local("link"));
    fs::create_directory(local("subdir"));
    for (const char *name : {"link", "subdir"}) {
        EXPECT_FALSE(agent.sendFile(local(name), "x")) << name;
        EXPECT_EQ(agent.getError(), 3) << name;
    }
    EXPECT_TRUE(fake.requests().empty());
}

TEST_F(TransferAzureTest, UploadOfAMissingFileReportsTheStatError) {
    fake.respond(json(R"({"success": true})"));
    ASSERT_TRUE(agent.removeFile("x")); // leaves a response behind
    EXPECT_FALSE(agent.sendFile(local("missing"), "x"));
    EXPECT_EQ(agent.getError(), VORN::Backup::getTransferErrorByLibcStat(ENOENT));
    const vorntest::LogLine line = SyslogCapture::find("lstat failed, ");
    EXPECT_EQ(line.priority, LOG_ERR);
    EXPECT_NE(line.text.find("[" + local("missing") + "]"), std::string::npos) << line.text;
    EXPECT_EQ(agent.m_response.size(), 0u);
}

TEST_F(TransferAzureTest, FailedBlockEndsTheUploadWithoutCommit) {
    vorntest::makeFile(local("f"), 3 * 4194304);
    fake.respondOk();
    fake.fail(403, "This request is not authorized.");
    FileInfo info("x");
    info.setSize(99);
    EXPECT_FALSE(agent.sendFile(local("f"), "x", recordProgress(), info));
    EXPECT_EQ(agent.getError(), 6);
    EXPECT_EQ(agent.m_response["error_code"], 403);
    EXPECT_EQ(info.getSize(), 0);
    EXPECT_EQ(fake.requests().size(), 2u);
    EXPECT_EQ(moved, std::vector<long long>{4194304});
}

TEST_F(TransferAzureTest, CancelBetweenTwoBlocksSendsNoCommit) {
    vorntest::makeFile(local("f"), 2 * 4194304 + 1);
    bool cancel = false;
    ASSERT_TRUE(agent.setCancelHook([&cancel] { return cancel; }));
    auto progress = [&](long long n) {
        moved.push_back(n);
        cancel = true;
        return true;
    };
    EXPECT_FALSE(agent.sendFile(local("f"), "x", progress));
    EXPECT_EQ(agent.getError(), 4);
    EXPECT_EQ(moved, std::vector<long long>{4194304});
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests()[0]["fn"], "createBlobBlock");
}

// ---- download ----

struct DownloadCase {
    long long size;
    std::vector<std::pair<long long, long long>> ranges; // empty: one whole-blob request
};

void PrintTo(const DownloadCase &c, std::ostream *out) { *out << c.size << " bytes"; }

class TransferDownloadTest : public TransferAzureTest,
                             public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(TransferDownloadTest, FetchesTheBlobWholeOrInRangesAndReplacesTheDestination) {
    const DownloadCase &c = GetParam();
    agent.setTargetId("T");
    const std::string destination = local("restored");
    writeFile(destination, "previous content");
    fake.respond(blobProperties(c.size));
    if (c.ranges.empty()) {
        fake.step(writing(Json::Int64(c.size)));
    }
    for (size_t i = 0; i < c.ranges.size(); ++i) {
        fake.step(writing("range"));
    }

    ASSERT_TRUE(agent.recvFile("dir/file", destination, recordProgress()));
    EXPECT_TRUE(vorntest::hasPattern(destination, c.size));
    EXPECT_EQ(fileNames(localDir()), std::vector<std::string>{"restored"});

    const std::vector<Json::Value> requests = fake.requests();
    EXPECT_EQ(requests[0],
              json(R"({"fn": "getBlobProperties", "container": "backups", "blob": "T/dir/file"})"));
    if (c.size == 0) {
        EXPECT_EQ(requests.size(), 1u);
        EXPECT_TRUE(moved.empty());
        return;
    }
    if (c.ranges.empty()) {
        ASSERT_EQ(requests.size(), 2u);
        Json::Value expected =
            json(R"({"fn": "getBlob", "container": "backups", "blob": "T/dir/file"})");
        expected["fileOutput"] = requests[1]["fileOutput"];
        EXPECT_EQ(requests[1], expected);
        EXPECT_EQ(VORN::Backup::Path::dirname(requests[1]["fileOutput"].asString()), localDir());
        EXPECT_EQ(moved, std::vector<long long>{c.size});
        return;
    }
    ASSERT_EQ(requests.size(), c.ranges.size() + 1);
    const std::string rangeFile = requests[1]["fileOutput"].asString();
    EXPECT_NE(rangeFile, destination);
    std::vector<long long> lengths;
    for (size_t i = 0; i < c.ranges.size(); ++i) {
        Json::Value expected =
            json(R"({"fn": "getBlob", "container": "backups", "blob": "T/dir/file"})");
        expected["RangeStart"] = std::to_string(c.ranges[i].first);
        expected["RangeEnd"] = std::to_string(c.ranges[i].second);
        expected["fileOutput"] = rangeFile;
        EXPECT_EQ(requests[i + 1], expected);
        lengths.push_back(c.ranges[i].second - c.ranges[i].first + 1);
    }
    EXPECT_EQ(moved, lengths);
}

INSTANTIATE_TEST_SUITE_P(
    BoundarySizes, TransferDownloadTest,
    ::testing::Values(DownloadCase{0, {}}, DownloadCase{10485760, {}},
                      DownloadCase{10485761, {{0, 10485759}, {10485760, 10485760}}},
                      DownloadCase{31457280,
                                   {{0, 10485759}, {10485760, 20971519}, {20971520, 31457279}}}));

TEST_F(TransferAzureTest, ShortDownloadIsRejectedAndTheDestinationKept) {
    const std::string destination = local("restored");
    writeFile(destination, "previous content");
    const struct {
        long long size;
        std::vector<Json::Value> writes;
        const char *logged;
    } cases[] = {
        {5, {Json::Value(4)}, "get a bad file 4 != 5"},
        {10485761, {Json::Value("range"), Json::Value(0)}, "get a bad file 10485760 != 10485761"},
        // A nonsensical length from the agent must not empty the destination either.
        {-1, {Json::Value(0)}, "get a bad file 0 != 18446744073709551615"},
    };
    for (const auto &c : cases) {
        fake.respond(blobProperties(c.size));
        for (const Json::Value &write : c.writes) {
            fake.step(writing(write));
        }
        SyslogCapture::clear();
        EXPECT_FALSE(agent.recvFile("f", destination)) << c.size;
        EXPECT_EQ(agent.getError(), 1) << c.size;
        EXPECT_EQ(SyslogCapture::find(c.logged).priority, LOG_ERR) << c.logged;
        EXPECT_EQ(readFile(destination), "previous content");
        EXPECT_EQ(fileNames(localDir()), std::vector<std::string>{"restored"});
    }
}

TEST_F(TransferAzureTest, CancelBetweenTwoRangesLeavesTheDestinationUntouched) {
    const std::string destination = local("restored");
    writeFile(destination, "previous content");
    bool cancel = false;
    ASSERT_TRUE(agent.setCancelHook([&cancel] { return cancel; }));
    fake.respond(blobProperties(10485761));
    fake.step(writing("range"));
    fake.step(writing("range"));
    auto progress = [&](long long n) {
        moved.push_back(n);
        cancel = true;
        return true;
    };
    EXPECT_FALSE(agent.recvFile("f", destination, progress));
    EXPECT_EQ(agent.getError(), 4);
    EXPECT_EQ(moved, std::vector<long long>{10485760});
    EXPECT_EQ(fake.requests().size(), 2u);
    EXPECT_EQ(readFile(destination), "previous content");
}

TEST_F(TransferAzureTest, DownloadNeedsAnExistingBlob) {
    const struct {
        std::vector<Json::Value> responses;
        int error;
        const char *logged; // null: the download logs no error
    } cases[] = {
        {{failure(404), json(R"({"success": true, "count": 0})")}, 5, nullptr},
        {{failure(404),
          json(R"({"success": true, "count": 1, "folder": [{"Name": "some/file/"}]})")},
         3,
         "could not download non regular file"},
        {{failure(403)}, 6, "remote stat [some/file] failed"},
    };
    for (const auto &c : cases) {
        for (const Json::Value &response : c.responses) {
            fake.respond(response);
        }
        SyslogCapture::clear();
        EXPECT_FALSE(agent.recvFile("some/file", local("out")));
        EXPECT_EQ(agent.getError(), c.error);
        if (c.logged) {
            EXPECT_EQ(SyslogCapture::find(c.logged).priority, LOG_ERR) << c.logged;
        } else {
            EXPECT_TRUE(noErrorLogged());
        }
        EXPECT_TRUE(fileNames(localDir()).empty());
    }
}

TEST_F(TransferAzureTest, RejectedDownloadsAreClassified) {
    const std::string destination = local("restored");
    writeFile(destination, "previous content");
    fake.respond(blobProperties(100));
    fake.fail(403);
    EXPECT_FALSE(agent.recvFile("f", destination));
    EXPECT_EQ(agent.getError(), 6);
    EXPECT_EQ(SyslogCapture::find("recvFile:").priority, LOG_ERR);

    fake.respond(blobProperties(10485761));
    fake.step(writing("range"));
    fake.fail(404);
    SyslogCapture::clear();
    EXPECT_FALSE(agent.recvFile("f", destination));
    EXPECT_EQ(agent.getError(), 5);
    EXPECT_EQ(SyslogCapture::find("recvFile:").priority, LOG_DEBUG);
    EXPECT_EQ(readFile(destination), "previous content");
}

} // namespace
