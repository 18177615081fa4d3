// TransferAgentAzure with the real agent against Azurite: byte-exact transfers, trees, names.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <json/writer.h>

#include "azurite.h"
#include "transfer_azure.h"

namespace fs = std::filesystem;
using VORN::Backup::FileInfo;
using VORN::Backup::TransferAgentAzure;

namespace {

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeRandomFile(const std::string &path, long long size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string data(static_cast<size_t>(size), '\0');
    for (char &byte : data) {
        byte = static_cast<char>(random());
    }
    std::ofstream(path, std::ios::binary) << data;
}

// (name, is directory) of every entry, for order-free comparison.
std::set<std::pair<std::string, bool>> namesOf(const std::list<FileInfo> &entries) {
    std::set<std::pair<std::string, bool>> names;
    for (const FileInfo &entry : entries) {
        names.insert({entry.getRpath(), entry.isDirType()});
    }
    return names;
}

class TransferIntegrationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Two entries a page, so that every listing of more than two entries pages for real.
        setenv("AZURE_AGENT_PAGE_SIZE", "2", 1);
        server = new vorntest::AzuriteServer();
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
        unsetenv("AZURE_AGENT_PAGE_SIZE");
    }

    TransferIntegrationTest()
        : env(*server), container("transfer-" + std::to_string(++containers)),
          agent(vorntest::azuriteRepository(container)) {
        fs::create_directories(env.path("local"));
    }

    void SetUp() override {
        ASSERT_TRUE(agent.checkAndCreateClient());
        Json::Value response;
        ASSERT_TRUE(agent.m_client.send(&response, "fn", "createContainer", "container",
                                        container.c_str(), static_cast<const char *>(nullptr)))
            << response;
    }

    void TearDown() override {
        EXPECT_TRUE(fs::is_empty(env.path("tmp")));
        for (const auto &entry : fs::directory_iterator(env.path("local"))) {
            EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
        }
    }

    std::string local(const std::string &name) const { return env.path("local/" + name); }

    void upload(const std::string &remotePath, long long size, unsigned seed = 1) {
        writeRandomFile(local("upload"), size, seed);
        ASSERT_TRUE(agent.sendFile(local("upload"), remotePath)) << remotePath;
    }

    static vorntest::AzuriteServer *server;
    static int containers;
    vorntest::RealAgentEnvironment env;
    const std::string container;
    TransferAgentAzure agent;
};

vorntest::AzuriteServer *TransferIntegrationTest::server = nullptr;
int TransferIntegrationTest::containers = 0;

TEST_F(TransferIntegrationTest, RoundTripsAreByteExactAtTheBoundarySizes) {
    agent.setTargetId("target");
    const long long sizes[] = {0, 4194303, 4194304, 4194305, 10485760, 10485761, 31457280};
    for (const long long size : sizes) {
        SCOPED_TRACE(size);
        const std::string remotePath = "data/" + std::to_string(size);
        writeRandomFile(local("source"), size, static_cast<unsigned>(size));
        long long sent = 0;
        FileInfo uploaded(remotePath);
        ASSERT_TRUE(agent.sendFile(
            local("source"), remotePath, [&sent](long long n) { return sent += n, true; },
            uploaded));
        EXPECT_EQ(sent, size);
        EXPECT_EQ(uploaded.getSize(), size);
        EXPECT_FALSE(uploaded.getChecksum().empty());

        FileInfo remote;
        ASSERT_TRUE(agent.stat(remotePath, remote));
        EXPECT_TRUE(remote.isRegType());
        EXPECT_EQ(remote.getSize(), size);
        EXPECT_EQ(remote.getChecksum(), uploaded.getChecksum());

        long long received = 0;
        ASSERT_TRUE(agent.recvFile(remotePath, local("restored"),
                                   [&received](long long n) { return received += n, true; }));
        EXPECT_EQ(received, size);
        EXPECT_TRUE(readFile(local("restored")) == readFile(local("source")));
    }
}

TEST_F(TransferIntegrationTest, TreeIsListedStatedAndRemovedOverSeveralPages) {
    agent.setTargetId("target");
    for (const char *path : {"tree/a", "tree/b/c", "tree/b/d/e", "tree/f/g", "tree/h", "tree/i",
                             "other/keep", "treetop"}) {
        upload(path, 3);
    }

    std::list<FileInfo> entries;
    ASSERT_TRUE(agent.listDir("tree", entries));
    const std::set<std::pair<std::string, bool>> expected = {
        {"a", false}, {"b", true}, {"f", true}, {"h", false}, {"i", false}};
    EXPECT_EQ(namesOf(entries), expected);
    EXPECT_EQ(entries.size(), expected.size());

    std::list<FileInfo> everything;
    std::string marker;
    int pages = 0;
    do {
        ASSERT_TRUE(agent.listDirEx("tree", everything, marker, true));
        ++pages;
    } while (!marker.empty());
    EXPECT_GE(pages, 3);
    const std::set<std::pair<std::string, bool>> blobs = {
        {"a", false}, {"b/c", false}, {"b/d/e", false}, {"f/g", false}, {"h", false}, {"i", false}};
    EXPECT_EQ(namesOf(everything), blobs);

    FileInfo info;
    ASSERT_TRUE(agent.stat("tree/b/d/e", info));
    EXPECT_TRUE(info.isRegType());
    EXPECT_EQ(info.getSize(), 3);
    EXPECT_GT(info.getMtime(), 0);
    ASSERT_TRUE(agent.stat("tree/b/d/", info));
    EXPECT_TRUE(info.isDirType());
    EXPECT_TRUE(agent.isExist("tree/f"));
    EXPECT_FALSE(agent.isFileExist("tree/f"));
    EXPECT_EQ(agent.getError(), 5);
    EXPECT_FALSE(agent.isExist("tree/b/x"));
    EXPECT_EQ(agent.getError(), 5);

    ASSERT_TRUE(agent.removeDirRecursive("tree"));
    EXPECT_FALSE(agent.isExist("tree"));
    EXPECT_EQ(agent.getError(), 5);
    EXPECT_TRUE(agent.isFileExist("treetop"));
    EXPECT_TRUE(agent.isFileExist("other/keep"));
    ASSERT_TRUE(agent.listDir("", entries));
    EXPECT_EQ(namesOf(entries),
              (std::set<std::pair<std::string, bool>>{{"other", true}, {"treetop", false}}));
    EXPECT_TRUE(agent.removeDirRecursive("tree"));
}

TEST_F(TransferIntegrationTest, NamesWithSpecialAndNonAsciiCharactersSurvive) {
    const std::string dir = "dir with space #1";
    const std::string names[] = {"file %20 100%.txt", "what?#fragment", "ünïcødé 日本語.bin"};
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        writeRandomFile(local("source"), 1000, 7);
        ASSERT_TRUE(agent.sendFile(local("source"), dir + "/" + name));
        ASSERT_TRUE(agent.recvFile(dir + "/" + name, local("restored")));
        EXPECT_TRUE(readFile(local("restored")) == readFile(local("source")));
    }
    std::list<FileInfo> entries;
    ASSERT_TRUE(agent.listDir(dir, entries));
    std::set<std::pair<std::string, bool>> expected;
    for (const std::string &name : names) {
        expected.insert({name, false});
    }
    EXPECT_EQ(namesOf(entries), expected);
    ASSERT_TRUE(agent.listDir("", entries));
    EXPECT_EQ(namesOf(entries), (std::set<std::pair<std::string, bool>>{{dir, true}}));

    FileInfo info;
    EXPECT_TRUE(agent.stat(dir, info));
    EXPECT_TRUE(info.isDirType());
    for (const std::string &name : names) {
        EXPECT_TRUE(agent.removeFile(dir + "/" + name)) << name;
    }
    EXPECT_FALSE(agent.isExist(dir));
}

TEST_F(TransferIntegrationTest, TargetIdPlacesBlobsBelowTheTargetDirectory) {
    agent.setTargetId("tgt");
    upload("x/y", 10);
    FileInfo info;
    ASSERT_TRUE(agent.stat("", info));
    EXPECT_TRUE(info.isDirType());
    EXPECT_EQ(agent.getTargetId(), "tgt");

    agent.setTargetId("");
    ASSERT_TRUE(agent.stat("tgt/x/y", info));
    EXPECT_EQ(info.getSize(), 10);
    ASSERT_TRUE(agent.stat("", info));
    EXPECT_TRUE(info.isDirType());

    agent.setTargetId("missing");
    EXPECT_FALSE(agent.stat("", info));
    EXPECT_EQ(agent.getError(), 5);
    EXPECT_EQ(agent.getTargetId(), "missing");
}

TEST_F(TransferIntegrationTest, AbsenceAndRefusalsGiveTheirErrors) {
    EXPECT_FALSE(agent.recvFile("missing", local("out")));
    EXPECT_EQ(agent.getError(), 5);
    EXPECT_FALSE(fs::exists(local("out")));
    EXPECT_FALSE(agent.removeFile("missing"));
    EXPECT_EQ(agent.getError(), 5);

    TransferAgentAzure noContainer(vorntest::azuriteRepository("no-such-container"));
    FileInfo info;
    EXPECT_FALSE(noContainer.stat("", info));
    EXPECT_EQ(noContainer.getError(), 5);

    // Valid base64, but not the account's key.
    TransferAgentAzure wrongKey(vorntest::azuriteRepository(container, "d3Jvbmcta2V5"));
    std::list<FileInfo> entries;
    EXPECT_FALSE(wrongKey.listDir("", entries));
    EXPECT_EQ(wrongKey.getError(), 10);

    TransferAgentAzure malformedKey(vorntest::azuriteRepository(container, "not base64!"));
    EXPECT_FALSE(malformedKey.checkAndCreateClient());
    EXPECT_EQ(malformedKey.getError(), 10);
}

} // namespace
