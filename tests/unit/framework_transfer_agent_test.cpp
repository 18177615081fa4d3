// TransferAgent base: streaming a fetched file to a FileOutputer.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "scratch_env.h"
#include "vorn/backup/transfer_agent.h"

namespace fs = std::filesystem;
using namespace VORN::Backup;

namespace {

// "Fetches" a remote path by copying the file of that name from a local directory.
class LocalAgent : public TransferAgent {
public:
    explicit LocalAgent(const std::string &dir) : TransferAgent(Repository()), m_dir(dir) {}

    bool recvFile(const std::string &remote, const std::string &local) override {
        std::error_code ec;
        fs::copy_file(m_dir + "/" + remote, local, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            m_error = TRANSFER_ERR_NOT_FOUND;
        }
        fetchedTo = local;
        return !ec;
    }

    bool isValid() const override { return true; }
    bool setTransferOption(const Task &) override { return true; }
    bool sendFile(const std::string &, const std::string &) override { return false; }
    bool sendFile(const std::string &, const std::string &,
                  boost::function<bool(long long)>) override {
        return false;
    }
    bool recvFile(const std::string &, const std::string &,
                  boost::function<bool(long long)>) override {
        return false;
    }
    using TransferAgent::recvFile;
    bool isExist(const std::string &) override { return false; }
    bool isFileExist(const std::string &) override { return false; }
    bool stat(const std::string &, FileInfo &) override { return false; }
    bool removeFile(const std::string &) override { return false; }
    bool createDir(const std::string &) override { return false; }
    bool removeDirRecursive(const std::string &) override { return false; }
    bool listDir(const std::string &, std::list<FileInfo> &) override { return false; }
    bool listDirEx(const std::string &, std::list<FileInfo> &, std::string &, bool) override {
        return false;
    }
    bool sendFile(const std::string &, const std::string &, boost::function<bool(long long)>,
                  FileInfo &) override {
        return false;
    }

    std::string fetchedTo;

private:
    std::string m_dir;
};

class Collector : public FileOutputer {
public:
    explicit Collector(bool accept = true) : m_accept(accept) {}
    bool write(const char *data, size_t length) override {
        content.append(data, length);
        ++pieces;
        return m_accept;
    }
    std::string content;
    int pieces = 0;

private:
    bool m_accept;
};

class TransferAgentStream : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_scratch.path("tmp"));
        m_env.set("TMPDIR", m_scratch.path("tmp"));
        for (size_t i = 0; i < (3u << 20) + 5; ++i) {
            m_content += static_cast<char>(i % 251);
        }
        vorntest::writeFile(m_scratch.path("blob"), m_content);
    }
    bool tmpIsEmpty() const { return fs::is_empty(m_scratch.path("tmp")); }

    vorntest::ScratchDir m_scratch;
    const std::string &m_dir = m_scratch.dir();
    std::string m_content;
    vorntest::ScopedEnv m_env;
};

TEST_F(TransferAgentStream, StreamsTheFetchedFileInPiecesAndRemovesIt) {
    LocalAgent agent(m_dir);
    auto out = boost::shared_ptr<Collector>(new Collector);
    ASSERT_TRUE(agent.recvFile("blob", out));
    EXPECT_EQ(out->content, m_content);
    EXPECT_GT(out->pieces, 1); // never the whole file in one buffer
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_NONE);
    EXPECT_EQ(fs::path(agent.fetchedTo).parent_path(), fs::path(m_dir + "/tmp"));
    EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(TransferAgentStream, FailsAsTheFetchOrTheOutputerFails) {
    LocalAgent agent(m_dir);
    EXPECT_FALSE(agent.recvFile("absent", boost::shared_ptr<FileOutputer>(new Collector)));
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_NOT_FOUND);

    auto refusing = boost::shared_ptr<Collector>(new Collector(false));
    EXPECT_FALSE(agent.recvFile("blob", refusing));
    EXPECT_EQ(refusing->pieces, 1);
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_GENERIC);

    EXPECT_FALSE(agent.recvFile("blob", boost::shared_ptr<FileOutputer>()));
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_INVALID);
    EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(TransferAgentStream, StopsWhenCancelled) {
    LocalAgent agent(m_dir);
    EXPECT_TRUE(agent.setCancelHook([] { return true; }));
    auto out = boost::shared_ptr<Collector>(new Collector);
    EXPECT_FALSE(agent.recvFile("blob", out));
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_CANCELLED);
    EXPECT_EQ(out->pieces, 0);
    EXPECT_TRUE(tmpIsEmpty());
}

} // namespace
