// TransferAgentAzure against the scripted fake agent: the exact requests, errors and files.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fake_agent.h"
#include "plugin_util.h"
#include "scratch_env.h"
#include "transfer_azure.h"
#include "vorn/backup/path.h"

namespace fs = std::filesystem;
using VORN::Backup::FileInfo;
using VORN::Backup::Path;
using VORN::Backup::Task;
using VORN::Backup::TransferAgentAzure;
using vorntest::answer;
using vorntest::blobProperties;
using vorntest::failure;
using vorntest::json;
using vorntest::readFile;

namespace {

// A request on the container "backups", naming `blob` when given, and a listing request (one
// level when `byFolder`).
Json::Value request(const char *fn, const std::string &blob = "") {
    Json::Value value = json(R"({"container": "backups"})");
    value["fn"] = fn;
    if (!blob.empty()) value["blob"] = blob;
    return value;
}

Json::Value list(const std::string &prefix, const std::string &marker = "", bool byFolder = true) {
    Json::Value value = request("listBlobs");
    value["Prefix"] = prefix;
    if (!marker.empty()) value["Marker"] = marker;
    if (byFolder) value["Delimiter"] = "/";
    return value;
}

// A listing page of the named folders and files, continued at `next` when given.
Json::Value page(const std::vector<std::string> &folders, const std::vector<std::string> &files,
                 const char *next = nullptr) {
    Json::Value value = json(R"({"success": true})");
    value["count"] = static_cast<int>(folders.size() + files.size());
    for (const auto &[kind, names] : {std::pair{"folder", &folders}, std::pair{"file", &files}}) {
        for (const std::string &name : *names) {
            value[kind].append(Json::Value(Json::objectValue))["Name"] = name;
        }
    }
    if (next) value["NextMarker"] = next;
    return value;
}

// A step that answers success after writing `output` ("range" or a byte count) to "fileOutput".
Json::Value writing(const Json::Value &output) {
    Json::Value step = answer(json(R"({"success": true})"));
    step["write_output"] = output;
    return step;
}

// What a stat or listing found, in one comparable line.
std::string describe(const FileInfo &f) {
    return std::string(f.isDirType() ? "dir " : f.isRegType() ? "reg " : "? ") +
           std::to_string(f.getSize()) + " " + std::to_string(f.getMtime()) + " " +
           f.getChecksum();
}

class TransferAzureTest : public ::testing::Test {
protected:
    TransferAzureTest() {
        fs::create_directories(localDir());
        std::ofstream(destination, std::ios::binary) << "previous content";
    }

    // The error of a failed operation of `on`; -1 when it succeeded.
    static int errorOf(bool ok, const TransferAgentAzure &on) { return ok ? -1 : on.getError(); }

    // Whatever a test did, no temporary file may outlive the operation.
    void TearDown() override {
        EXPECT_TRUE(fake.tempFiles().empty()) << fake.tempFiles().front();
        for (const auto &entry : fs::directory_iterator(localDir())) {
            const std::string name = entry.path().filename().string();
            EXPECT_NE(name[0], '.') << "temporary file left beside the destination: " << name;
        }
    }

    std::string localDir() const { return fake.path("local"); }
    std::string local(const std::string &name) const { return localDir() + "/" + name; }

    void script(const std::vector<Json::Value> &steps) {
        for (const Json::Value &s : steps) fake.step(s);
    }

    // The request log entries, or just the requests, received since the previous call.
    std::vector<Json::Value> newEntries() {
        std::vector<Json::Value> all = fake.requestEntries();
        all.erase(all.begin(), all.begin() + std::min(seen, all.size()));
        seen += all.size();
        return all;
    }
    std::vector<Json::Value> newRequests() {
        std::vector<Json::Value> requests;
        for (const Json::Value &entry : newEntries()) requests.push_back(entry["request"]);
        return requests;
    }

    vorntest::FakeAgent fake;
    TransferAgentAzure agent{vorntest::makeRepository("backups")};
    // A download destination that a failed download must leave as it was.
    const std::string destination = fake.path("local/restored");
    std::vector<long long> moved;
    // The result is ignored: only the cancel hook stops a transfer.
    const boost::function<bool(long long)> recordProgress = [this](long long n) {
        return moved.push_back(n), false;
    };
    size_t seen = 0;
};

TEST_F(TransferAzureTest, AgentStartUsesTheSchemeOfTheTaskOrMapsWhyItCannot) {
    Task encrypted;
    encrypted.getOptions().optSet(Task::SZK_TRANS_ENCRYPT, true);
    // Plain first, so that https can only come from the encrypted option.
    ASSERT_TRUE(agent.setTransferOption(Task()) && agent.setTransferOption(encrypted));
    fake.respondOk();
    ASSERT_TRUE(agent.removeFile("a"));
    ASSERT_EQ(fake.starts().size(), 1u);
    EXPECT_EQ(fake.starts()[0]["AZURE_SCHEME"], "https");
    EXPECT_EQ(fake.starts()[0]["AZURE_ACCESS_KEY"], "devaccount");
    const struct { const char *startLine; int error; } failedStarts[] = { // null: no script
        {"ValueError: 'c2VjcmV0' is not a valid base64 string, padding", 10}, {"start!", 1},
        {nullptr, 1}};
    for (const auto &c : failedStarts) {
        SCOPED_TRACE(c.startLine ? c.startLine : "no agent");
        c.startLine ? (void)fake.startLine(c.startLine) : fake.removeScript();
        TransferAgentAzure candidate(vorntest::makeRepository());
        EXPECT_EQ(errorOf(candidate.removeFile("a"), candidate), c.error);
    }
    EXPECT_EQ(fake.requests().size(), 1u);
}

// The repository's credential reaches the agent in the one variable of its kind, and no other;
// a kind the plug-in does not know, or one without the secret it needs, starts no agent.
TEST_F(TransferAzureTest, EachCredentialKindReachesTheAgentInItsOwnVariable) {
    using VORN::Backup::Repository;
    const struct { const char *auth; bool secret; const char *variables; } cases[] = {
        {nullptr, true, "AZURE_SECRET_KEY=c2VjcmV0LWtleQ=="},
        {"key", true, "AZURE_SECRET_KEY=c2VjcmV0LWtleQ=="},
        {"sas", true, "AZURE_SAS_TOKEN=c2VjcmV0LWtleQ=="},
        {"entra", false, "AZURE_USE_ENTRA_ID=1"},
        {"entra", true, "AZURE_USE_ENTRA_ID=1"},
        {"sas", false, nullptr}, {"certificate", true, nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.auth ? c.auth : "no auth option") + (c.secret ? "+secret" : ""));
        Repository repository = vorntest::makeRepository("backups", true, c.secret);
        VORN::Backup::OptionMap options = repository.getOptions();
        if (c.auth) options.optSet(Repository::SZK_REMOTE_AUTH, c.auth);
        repository.setOptions(options);
        TransferAgentAzure candidate(repository);
        const size_t startsBefore = fake.starts().size();
        EXPECT_EQ(candidate.isValid(), c.variables != nullptr);
        EXPECT_EQ(errorOf(candidate.removeFile("a"), candidate), c.variables ? -1 : 3);
        if (!c.variables) {
            EXPECT_EQ(fake.starts().size(), startsBefore);
            continue;
        }
        std::string given;
        for (const char *name : {"AZURE_SECRET_KEY", "AZURE_SAS_TOKEN", "AZURE_USE_ENTRA_ID"}) {
            const Json::Value value = fake.starts().back()[name];
            if (!value.isNull()) given += std::string(name) + "=" + value.asString();
        }
        EXPECT_EQ(given, c.variables);
        EXPECT_EQ(fake.starts().back()["AZURE_ACCESS_KEY"], "devaccount");
    }
}

TEST_F(TransferAzureTest, FailedResponsesAreClassified) {
    vorntest::makeFile(local("small"), 10);
    const struct { Json::Value response; int error; } cases[] = {
        {failure(-2), 10}, {failure(403), 6}, {failure(404), 5},
        {failure(400, "One of the request inputs is out of range."), 3},
        {failure(-4, "timed out; Temporary failure in name resolution"), 20},
        {failure(-4, "read timed out"), 19}, {failure(-4, "Read Timed Out"), 8},
        {failure(-3, "user canceled"), 4}, {failure(-5), 3}, {failure(409), 1},
        {failure(503), 1}, {json(R"({"error_message": "no envelope"})"), 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.response.toStyledString());
        fake.byDefault(answer(c.response));
        EXPECT_EQ(errorOf(agent.removeFile("dir/file"), agent), c.error);
        EXPECT_EQ(errorOf(agent.sendFile(local("small"), "dir/file"), agent), c.error);
        EXPECT_EQ(agent.lastResponse(), c.response);
    }
}

TEST_F(TransferAzureTest, BadInputIsRefusedBeforeTheAgentStarts) {
    TransferAgentAzure bare(vorntest::makeRepository("")); // no container
    TransferAgentAzure noSecret(vorntest::makeRepository("backups", true, false));
    vorntest::makeFile(local("f"), 1);
    FileInfo info;
    const struct { const char *what; std::function<bool()> operation;
                   const TransferAgentAzure &on; } cases[] = {
        {"no secret", [&] { return noSecret.removeFile("a"); }, noSecret},
        {"stat without container", [&] { return bare.stat("a", info); }, bare},
        {"stat of ..", [&] { return agent.stat("../a", info); }, agent},
        {"remove directory path", [&] { return agent.removeFile("a/"); }, agent},
        {"send without container", [&] { return bare.sendFile(local("f"), "x"); }, bare},
        {"send to directory path", [&] { return agent.sendFile(local("f"), "x/"); }, agent},
        {"receive into directory path", [&] { return agent.recvFile("f", local("out/")); }, agent},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(errorOf(c.operation(), c.on), 3) << c.what;
    }
    EXPECT_TRUE(agent.createDir("a/b"));
    EXPECT_TRUE(fake.starts().empty());
}

// The blob name joins target id and path without a doubled slash. A directory is a folder in its
// parent's listing; the root is the container or the target's folder. All rows share one
// FileInfo, so nothing of a row may survive into the next.
TEST_F(TransferAzureTest, StatAsksForTheBlobThenForItsParentsListing) {
    const Json::Value missing = answer(failure(404));
    const std::string etag = vorntest::BLOB_ETAG;
    const auto sized = [](int size) { // properties with the length only
        Json::Value response = json(R"({"success": true})");
        response["Properties"]["ContentLength"] = size;
        return response;
    };
    // found: describe() of the result; empty: stat fails with `error`.
    const struct { const char *targetId, *path; std::vector<Json::Value> steps; std::string found;
                   int error; std::vector<Json::Value> requests; } cases[] = {
        {"T", "dir/file", {answer(blobProperties(1234))}, "reg 1234 1700000000 " + etag, 0,
         {request("getBlobProperties", "T/dir/file")}},
        {"T", "dir/file", {answer(sized(5))}, "reg 5 0 ", 0,
         {request("getBlobProperties", "T/dir/file")}},
        {"T/", "a", {answer(sized(1))}, "reg 1 0 ", 0, {request("getBlobProperties", "T/a")}},
        {"", "a/b", {answer(sized(2))}, "reg 2 0 ", 0, {request("getBlobProperties", "a/b")}},
        {"T", "a/b//", {missing, answer(page({"T/a/x/", "T/a/b/"}, {"T/a/b"}))}, "dir 0 0 ", 0,
         {request("getBlobProperties", "T/a/b"), list("T/a/")}},
        {"T", "b", {missing, answer(page({}, {"T/b"}))}, "", 5,
         {request("getBlobProperties", "T/b"), list("T/")}},
        // A path ending in a dot has no parent listing to look in.
        {"T", "a/.", {missing}, "", 0, {request("getBlobProperties", "T/a/.")}},
        {"", "", {answer(sized(9))}, "dir 0 0 ", 0, {request("getContainerProperties")}},
        {"", "", {missing}, "", 5, {request("getContainerProperties")}},
        {"T", "", {missing, answer(page({"T/"}, {}))}, "dir 0 0 ", 0,
         {request("getBlobProperties", "T"), list("")}},
    };
    FileInfo info;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.targetId) + " + " + c.path);
        agent.setTargetId(c.targetId);
        script(c.steps);
        EXPECT_EQ(agent.stat(c.path, info), !c.found.empty());
        EXPECT_TRUE(c.found.empty() || describe(info) == c.found) << describe(info);
        EXPECT_TRUE(!c.found.empty() || agent.getError() == c.error) << agent.getError();
        EXPECT_EQ(newRequests(), c.requests);
    }
    // Existence of a file stops at the missing blob; the root's stat kept the target id.
    fake.fail(404);
    EXPECT_EQ(errorOf(agent.isFileExist("b"), agent), 5);
    EXPECT_EQ(newRequests(), std::vector<Json::Value>{request("getBlobProperties", "T/b")});
}

TEST_F(TransferAzureTest, ListDirFollowsMarkersOverThreePages) {
    agent.setTargetId("T");
    fake.respond(json(R"({"success": true, "count": 2, "NextMarker": "m1",
        "folder": [{"Name": "T/dir/sub/"}],
        "file": [{"Name": "T/dir/a", "Properties": {"LastModified": 1700000000,
                  "ContentLength": 3, "ETag": "\"e1\""}}]})"));
    fake.respond(page({}, {}, "m2")).respond(page({}, {"T/dir/b"}));
    std::list<FileInfo> entries{FileInfo("stale")};
    ASSERT_TRUE(agent.listDir("dir/", entries));
    EXPECT_EQ(newRequests(), (std::vector<Json::Value>{list("T/dir/"), list("T/dir/", "m1"),
                                                        list("T/dir/", "m2")}));
    std::vector<std::string> found;
    for (const FileInfo &f : entries) found.push_back(f.getRpath() + " " + describe(f));
    EXPECT_EQ(found, (std::vector<std::string>{"sub dir 0 0 ", "a reg 3 1700000000 \"e1\"",
                                               "b reg 0 0 "}));

    // A cancel that comes once the last page has been read still ends the listing cancelled.
    fake.respond(page({}, {"T/dir/a"}, "m1")).respond(page({}, {"T/dir/last"}));
    agent.setCancelHook([&] { return !entries.empty() && entries.back().getRpath() == "last"; });
    EXPECT_EQ(errorOf(agent.listDir("dir", entries), agent), 4);
    EXPECT_EQ(newRequests().size(), 2u);
}

TEST_F(TransferAzureTest, ListDirExAppendsEntriesOnlyWithACountAndKeepsTheMarkerOnFailure) {
    const struct { const char *response; size_t added; const char *marker; } cases[] = {
        {R"({"success": true, "folder": [{"Name": "x/"}], "file": [{"Name": "y"}]})", 0, ""},
        {R"({"success": true, "count": 0, "file": [{"Name": "y"}], "NextMarker": "n"})", 0, "n"},
        {R"({"success": true, "count": 1, "file": [{"Name": "y"}], "NextMarker": null})", 1, ""},
        {R"({"success": false, "error_code": 403, "NextMarker": "n"})", 0, "previous"}};
    for (const auto &c : cases) {
        const Json::Value response = json(c.response);
        fake.respond(response);
        std::list<FileInfo> entries{FileInfo("kept")};
        std::string marker = "previous";
        EXPECT_EQ(agent.listDirEx("", entries, marker, false), response["success"].asBool());
        EXPECT_TRUE(entries.size() == 1 + c.added && entries.front().getRpath() == "kept");
        EXPECT_EQ(marker, c.marker) << c.response;
    }
}

TEST_F(TransferAzureTest, RemoveDirRecursiveDeletesPageAfterPageAndStopsAtAFailureOrCancel) {
    agent.setTargetId("T");
    fake.respond(page({}, {"T/dir/a", "T/dir/x/y"}, "m1")).respondOk().respondOk();
    fake.respond(page({}, {}, "m2")).respond(page({"T/dir/ignored/"}, {"T/dir/z"})).respondOk();
    ASSERT_TRUE(agent.removeDirRecursive("dir"));
    const std::vector<Json::Value> expected = {
        list("T/dir/", "", false),   request("deleteBlob", "T/dir/a"),
        request("deleteBlob", "T/dir/x/y"), list("T/dir/", "m1", false),
        list("T/dir/", "m2", false), request("deleteBlob", "T/dir/z"),
    };
    EXPECT_EQ(newRequests(), expected);
    fake.respond(page({}, {"T/d/a", "T/d/b"})).fail(404);
    EXPECT_EQ(errorOf(agent.removeDirRecursive("d"), agent), 5);
    EXPECT_EQ(newRequests().size(), 2u);
    fake.respond(page({}, {"T/d/a", "T/d/b"}));
    // True from the moment the agent has received the first deletion.
    const size_t firstDeletion = seen + 2;
    agent.setCancelHook([&] { return fake.requests().size() >= firstDeletion; });
    EXPECT_EQ(errorOf(agent.removeDirRecursive("d"), agent), 4);
    EXPECT_EQ(newRequests(), (std::vector<Json::Value>{list("T/d/", "", false),
                                                        request("deleteBlob", "T/d/a")}));
}

// Over https a file below one block goes up in one request, over http one below 8 blocks;
// larger ones go in numbered blocks through one file in TMPDIR, committed with the block count.
TEST_F(TransferAzureTest, UploadSendsTheFileInOneRequestOrInNumberedBlocks) {
    const struct { long long size; bool https; std::vector<long long> blocks; } cases[] = {
        {0, true, {}}, {4194303, true, {}}, {4194304, true, {4194304}},
        {4194305, true, {4194304, 1}}, {33554431, false, {}},
        {33554432, false, std::vector<long long>(8, 4194304)}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        TransferAgentAzure sender(vorntest::makeRepository());
        ASSERT_TRUE(c.https || sender.setTransferOption(Task()));
        sender.setTargetId("T");
        vorntest::makeFile(local("source"), c.size);
        for (size_t i = 0; i < c.blocks.size(); ++i) fake.respondOk();
        fake.respond(blobProperties(c.size));
        FileInfo info;
        moved.clear();
        ASSERT_TRUE(sender.sendFile(local("source"), "dir/file", recordProgress, info));
        EXPECT_EQ(info.getChecksum(), vorntest::BLOB_ETAG);
        EXPECT_EQ(fake.starts().back()["AZURE_SCHEME"], c.https ? "https" : "http");
        const std::vector<Json::Value> entries = newEntries();
        ASSERT_EQ(entries.size(), c.blocks.size() + 1);
        Json::Value expected = request("createBlockBlob", "T/dir/file");
        const Json::Value &blockFile = entries[0]["request"]["fileInput"];
        expected["fileInput"] = c.blocks.empty() ? local("source") : blockFile.asString();
        EXPECT_TRUE(c.blocks.empty() || blockFile.asString().rfind(fake.path("tmp/"), 0) == 0);
        for (size_t i = 0; i < entries.size(); ++i) {
            const bool commit = i == c.blocks.size();
            if (!c.blocks.empty()) {
                expected["fn"] = commit ? "commitBlobBlocks" : "createBlobBlock";
                expected["counter"] = static_cast<int>(i);
            }
            EXPECT_EQ(entries[i]["request"], expected);
            EXPECT_TRUE(commit || entries[i]["fileInputSize"].asInt64() == c.blocks[i]) << i;
        }
        EXPECT_EQ(moved, c.blocks.empty() ? std::vector<long long>{c.size} : c.blocks);
    }
}

// Only a regular file of at most MAX_BLOCKS blocks is uploaded; the one that is sent here
// meets a refused first block, which ends the upload without a commit.
TEST_F(TransferAzureTest, UploadOfNoRegularFileOrOfMoreThanTheBlockLimitIsRefused) {
    using VORN::Backup::BLOCK_SIZE;
    using VORN::Backup::MAX_BLOCKS;
    vorntest::makeFile(local("real"), 3);
    fs::create_symlink(local("real"), local("link"));
    fs::create_directory(local("subdir"));
    vorntest::makeFile(local("limit"), BLOCK_SIZE * MAX_BLOCKS, true);
    vorntest::makeFile(local("over"), BLOCK_SIZE * MAX_BLOCKS + 1, true);
    fake.respondOk().fail(403);
    ASSERT_TRUE(agent.removeFile("x")); // leaves a response behind
    const struct { const char *name; int error; bool sent; } cases[] = {
        {"missing", VORN::Backup::getTransferErrorByLibcStat(ENOENT), false}, {"link", 3, false},
        {"subdir", 3, false}, {"limit", 6, true}, {"over", 7, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = fake.requests().size();
        EXPECT_EQ(errorOf(agent.sendFile(local(c.name), "x", recordProgress), agent), c.error);
        EXPECT_EQ(fake.requests().size(), before + (c.sent ? 1 : 0));
        EXPECT_EQ(agent.lastResponse().empty(), !c.sent);
    }
    EXPECT_EQ(fake.requests().back()["fn"], "createBlobBlock");
    EXPECT_TRUE(moved.empty());
}

// Up to 10 MiB come in one request to a file beside the destination, so that the final rename
// stays on one file system; larger blobs in inclusive ranges.
TEST_F(TransferAzureTest, DownloadFetchesTheBlobWholeOrInRangesAndReplacesTheDestination) {
    agent.setTargetId("T");
    using Range = std::pair<long long, long long>; // first and last byte
    const struct { long long size; std::vector<Range> ranges; } cases[] = {
        {0, {}}, {10485760, {}}, {10485761, {{0, 10485759}, {10485760, 10485760}}},
        {31457280, {{0, 10485759}, {10485760, 20971519}, {20971520, 31457279}}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        fake.respond(blobProperties(c.size));
        const std::vector<Json::Value> fetches(
            c.ranges.empty() ? c.size > 0 : c.ranges.size(),
            writing(c.ranges.empty() ? Json::Value(Json::Int64(c.size)) : Json::Value("range")));
        script(fetches);
        moved.clear();
        ASSERT_TRUE(agent.recvFile("dir/file", destination, recordProgress));
        EXPECT_TRUE(vorntest::hasPattern(destination, c.size));
        const std::vector<Json::Value> requests = newRequests();
        ASSERT_EQ(requests.size(), 1 + fetches.size());
        EXPECT_EQ(requests[0], request("getBlobProperties", "T/dir/file"));
        std::vector<long long> lengths;
        for (size_t i = 1; i < requests.size(); ++i) {
            Json::Value expected = request("getBlob", "T/dir/file");
            expected["fileOutput"] = requests[1]["fileOutput"];
            EXPECT_NE(expected["fileOutput"], destination);
            EXPECT_TRUE(!c.ranges.empty() ||
                        Path::dirname(expected["fileOutput"].asString()) == localDir());
            long long first = 0, last = c.size - 1;
            if (!c.ranges.empty()) {
                std::tie(first, last) = c.ranges[i - 1];
                expected["RangeStart"] = std::to_string(first);
                expected["RangeEnd"] = std::to_string(last);
            }
            EXPECT_EQ(requests[i], expected);
            lengths.push_back(last - first + 1);
        }
        EXPECT_EQ(moved, lengths);
    }
}

TEST_F(TransferAzureTest, FailedDownloadLeavesTheDestinationAsItWas) {
    const Json::Value missing = answer(failure(404)), denied = answer(failure(403));
    const struct { std::vector<Json::Value> steps; int error; } cases[] = {
        {{missing, answer(page({}, {}))}, 5}, {{missing, answer(page({"f/"}, {}))}, 3},
        {{denied}, 6}, {{answer(blobProperties(100)), denied}, 6},
        {{answer(blobProperties(10485761)), writing("range"), missing}, 5},
        {{answer(blobProperties(5)), writing(4)}, 1},
        {{answer(blobProperties(10485761)), writing("range"), writing(0)}, 1},
        // A nonsensical length from the agent must not empty the destination either.
        {{answer(blobProperties(-1)), writing(0)}, 1},
    };
    for (const auto &c : cases) {
        script(c.steps);
        SCOPED_TRACE(::testing::Message() << "case " << &c - cases);
        EXPECT_EQ(errorOf(agent.recvFile("f", destination), agent), c.error);
        EXPECT_EQ(readFile(destination), "previous content");
    }
}

TEST_F(TransferAzureTest, CancelBetweenTwoPiecesStopsBeforeTheCommitOrTheRename) {
    bool cancel = false;
    ASSERT_TRUE(agent.setCancelHook([&cancel] { return cancel; }));
    auto cancelOnProgress = [&](long long n) { moved.push_back(n); return cancel = true; };
    vorntest::makeFile(local("f"), 2 * 4194304 + 1);
    fake.respondOk();
    EXPECT_EQ(errorOf(agent.sendFile(local("f"), "x", cancelOnProgress), agent), 4);
    EXPECT_EQ(moved, std::vector<long long>{4194304});
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests()[0]["fn"], "createBlobBlock");
    cancel = false;
    moved.clear();
    fake.respond(blobProperties(10485761)).step(writing("range")).step(writing("range"));
    EXPECT_EQ(errorOf(agent.recvFile("f", destination, cancelOnProgress), agent), 4);
    EXPECT_EQ(moved, std::vector<long long>{10485760});
    EXPECT_EQ(fake.requests().size(), 3u);
    EXPECT_EQ(readFile(destination), "previous content");
}

} // namespace
