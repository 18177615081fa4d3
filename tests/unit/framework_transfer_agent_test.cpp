// TransferAgent base: streaming a fetched file to a FileOutputer.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "scratch_env.h"
#include "vorn/backup/transfer_agent.h"

namespace fs = std::filesystem;
using namespace VORN::Backup;

namespace {

using Progress = boost::function<bool(long long)>;

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
    bool sendFile(const std::string &, const std::string &, Progress) override { return false; }
    bool recvFile(const std::string &, const std::string &, Progress) override { return false; }
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
    bool sendFile(const std::string &, const std::string &, Progress, FileInfo &) override {
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

// The fetched file lives in TMPDIR only while it is streamed, whatever the outcome.
TEST(TransferAgentStream, StreamsTheFetchedFileInPiecesAndRemovesIt) {
    vorntest::ScratchDir scratch;
    vorntest::ScopedEnv env;
    env.set("TMPDIR", scratch.path("tmp"));
    fs::create_directories(scratch.path("tmp"));
    const std::string content = vorntest::patternText((3u << 20) + 5);
    vorntest::writeFile(scratch.path("blob"), content);
    LocalAgent agent(scratch.dir());

    auto out = boost::shared_ptr<Collector>(new Collector);
    ASSERT_TRUE(agent.recvFile("blob", out));
    EXPECT_EQ(out->content, content);
    EXPECT_GT(out->pieces, 1); // never the whole file in one buffer
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_NONE);
    EXPECT_EQ(fs::path(agent.fetchedTo).parent_path(), fs::path(scratch.path("tmp")));

    EXPECT_FALSE(agent.recvFile("absent", boost::shared_ptr<FileOutputer>(new Collector)));
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_NOT_FOUND);
    auto refusing = boost::shared_ptr<Collector>(new Collector(false));
    EXPECT_FALSE(agent.recvFile("blob", refusing));
    EXPECT_EQ(refusing->pieces, 1);
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_GENERIC);
    EXPECT_FALSE(agent.recvFile("blob", boost::shared_ptr<FileOutputer>()));
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_INVALID);
    agent.setCancelHook([] { return true; });
    out.reset(new Collector);
    EXPECT_FALSE(agent.recvFile("blob", out));
    EXPECT_EQ(agent.getError(), TRANSFER_ERR_CANCELLED);
    EXPECT_EQ(out->pieces, 0);
    EXPECT_TRUE(fs::is_empty(scratch.path("tmp")));
}

} // namespace
