// Framework file helpers: paths, temporary files and their sweep, streaming copies, info database.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "scratch_env.h"
#include "vorn/backup/agent_client.h"
#include "vorn/backup/backup_info_db.h"
#include "vorn/backup/path.h"
#include "vorn/backup/scoped_temp_file.h"

namespace fs = std::filesystem;
using namespace VORN::Backup;
using vorntest::readFile;
using vorntest::ScratchDir;
using vorntest::writeFile;

namespace {

const boost::function<bool()> NO_HOOK;
const boost::function<bool()> CANCEL = [] { return true; };

TEST(Path, JoinDirnameBasenameAndAbsPath) {
    const struct { const char *a, *b, *joined; } joins[] = {
        {"T", "dir/file", "T/dir/file"}, {"", "dir", "dir"}, {"T", "", "T"},
        {"T/", "/file", "T/file"}, {"/", "x", "/x"}, {"a//", "//b", "a/b"}};
    for (const auto &c : joins) {
        EXPECT_EQ(Path::join(c.a, c.b), c.joined) << c.a << " + " << c.b;
    }
    const struct { const char *path, *dir, *base; } splits[] = {
        {"a", ".", "a"}, {"a/b/", "a", "b"}, {"/a", "/", "a"}, {"/", "/", "/"}, {"", ".", "."},
        {"/a//b//", "/a", "b"}};
    for (const auto &c : splits) {
        EXPECT_EQ(Path::dirname(c.path), c.dir) << c.path;
        EXPECT_EQ(Path::basename(c.path), c.base) << c.path;
    }
    EXPECT_EQ(Path::absPath("/a/b/../c//d/"), "/a/c/d");
}

// `valid`: whether the path is a relative path, one that may also name a directory, a file path,
// and a file path or empty.
TEST(PathChecks, RefuseWhatCannotNameABlob) {
    const std::string longest(MAX_BLOB_NAME, 'a'); // no room left for a directory's trailing "/"
    const struct { std::string path; const char *valid; } cases[] = {
        {"", "1101"}, {"dir/file", "1111"}, {"dir/", "1100"}, {"a/..b/..c", "1111"},
        {longest, "1011"}, {"/abs", "0000"}, {"../up", "0000"}, {"a/..", "0000"},
        {longest + "a", "0000"}, {std::string("a\0b", 3), "0000"}, {"a\nb", "0000"}};
    for (const auto &c : cases) {
        const std::string found = {"01"[isValidRelativePath(c.path, false)],
                                   "01"[isValidRelativePath(c.path, true)],
                                   "01"[isValidFileRelativePath(c.path, false)],
                                   "01"[isValidFileRelativePath(c.path, true)]};
        EXPECT_EQ(found, c.valid) << c.path;
    }
}

TEST(ScopedTempFile, IsPlacedByItsPathAndRemovedUnlessRenamed) {
    ScratchDir scratch;
    {
        ScopedTempFile beside(scratch.path("b")), unmoved(scratch.path("c"));
        ScopedTempFile fromTemplate(scratch.path("CONF.XXXXXX"));
        EXPECT_EQ(Path::basename(beside.getPath()).rfind(".b.", 0), 0u); // hidden, beside
        EXPECT_EQ(fromTemplate.getPath().size(), scratch.path("CONF.XXXXXX").size());
        EXPECT_EQ(fs::status(beside.getPath()).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write);
        writeFile(beside.getPath(), "data");
        EXPECT_TRUE(beside.rename(scratch.path("b")) && beside.getPath() == scratch.path("b"));
        EXPECT_FALSE(unmoved.rename(scratch.path("missing/c")));
        EXPECT_FALSE(ScopedTempFile(scratch.path("missing/d")).isValid());
    }
    EXPECT_EQ(readFile(scratch.path("b")), "data");
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.dir()), fs::directory_iterator()), 1);
}

// Runs `body` in a child process and returns once the child has exited, or stopped to be
// killed later unless `exitAfter`.
pid_t inChild(const std::function<void()> &body, bool exitAfter) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(exitAfter ? 0 : raise(SIGSTOP));
    }
    waitpid(pid, nullptr, WUNTRACED);
    return pid;
}

TEST(ScopedTempFile, NextProcessSweepsLeftoversOfAKilledOneButNotOfALiveOne) {
    ScratchDir scratch;
    vorntest::ScopedEnv env;
    env.set("TMPDIR", scratch.dir());
    const std::string dest = scratch.path("dest");
    const pid_t owner = inChild([&] {
        for (const std::string &path : {dest, dest + ".part", std::string()}) {
            new ScopedTempFile(path); // never destroyed: the child is killed holding it
        }
    }, false);
    std::set<std::string> owned;
    for (const auto &entry : fs::directory_iterator(scratch.dir())) {
        owned.insert(entry.path().filename());
    }
    const auto ownedLeft = [&] {
        return std::count_if(owned.begin(), owned.end(),
                             [&](const std::string &n) { return fs::exists(scratch.path(n)); });
    };
    ASSERT_EQ(owned.size(), 3u);

    // Files named like those of a process whose pid was reused, of an owner that cannot be
    // checked (another boot or pid namespace), and of other programs.
    const std::string tagged = *owned.rbegin(); // "vorn-tmp.<scope>.<pid>.<start>.XXXXXX"
    const std::string::size_type pidAt = tagged.find('.', 9) + 1;
    const std::string reused =
        std::string(tagged).replace(pidAt, tagged.find('.', pidAt) - pidAt, "1");
    const std::string otherScope = "vorn-tmp.ffffffff" + tagged.substr(17);
    const struct { std::string name; bool old, swept; } planted[] = {
        {reused, false, true}, {otherScope, false, false}, {"." + otherScope, true, true},
        {"vorn-tmp.notes", true, false}, {"dest.part", true, false}};
    for (const auto &p : planted) {
        writeFile(scratch.path(p.name), "x");
        fs::last_write_time(scratch.path(p.name),
                            fs::file_time_type::clock::now() - std::chrono::hours(p.old ? 48 : 0));
    }
    const auto nextRun = [&] { inChild([&] { ScopedTempFile beside(dest), inTmp; }, true); };
    nextRun();
    EXPECT_EQ(ownedLeft(), 3);
    for (const auto &p : planted) {
        EXPECT_NE(fs::exists(scratch.path(p.name)), p.swept) << p.name;
    }

    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    nextRun();
    EXPECT_EQ(ownedLeft(), 0);
}

TEST(StreamingCopies, AppendWholeFilesAndCopyPartsAcrossTheBufferSize) {
    ScratchDir scratch;
    const std::string big = vorntest::patternText((1 << 20) * 2 + 17);
    writeFile(scratch.path("big"), big);
    FILE *out = fopen(scratch.path("out").c_str(), "w");
    TransferError error = TRANSFER_ERR_NONE;
    EXPECT_TRUE(AgentClient::appendFileToFp(scratch.path("big"), out, NO_HOOK, error));
    EXPECT_TRUE(AgentClient::appendFileToFp(scratch.path("big"), out, NO_HOOK, error));
    EXPECT_TRUE(!AgentClient::appendFileToFp(scratch.path("big"), out, CANCEL, error) &&
                error == TRANSFER_ERR_CANCELLED);
    fclose(out);
    EXPECT_EQ(readFile(scratch.path("out")), big + big);
    // A few bytes stay buffered: the full disk shows only when they are flushed.
    FILE *full = fopen("/dev/full", "w");
    EXPECT_TRUE(!AgentClient::appendFileToFp(scratch.path("out"), full, NO_HOOK, error) &&
                error == TRANSFER_ERR_NO_SPACE);
    fclose(full);
    // Each part replaces the whole block file, longer or shorter than the one before.
    FILE *src = fopen(scratch.path("big").c_str(), "r");
    const std::string block = scratch.path("block");
    const long long first = (1 << 20) + 100;
    EXPECT_TRUE(AgentClient::copyPartToFile(src, block, first, NO_HOOK, error) &&
                readFile(block) == big.substr(0, first));
    EXPECT_TRUE(AgentClient::copyPartToFile(src, block, 200, NO_HOOK, error) &&
                readFile(block) == big.substr(first, 200));
    EXPECT_TRUE(!AgentClient::copyPartToFile(src, block, 3 << 20, NO_HOOK, error) && // runs short
                error == TRANSFER_ERR_LOCAL_IO);
    fclose(src);
}

TEST(BackupInfoDb, RecordsAndReadsBackTheLinkKeyAndReportsFailures) {
    ScratchDir scratch;
    const std::string path = scratch.path(BackupInfoDb::FILE_NAME);
    writeFile(path, "whatever the file held before");
    BackupInfoDb db;
    ASSERT_TRUE(db.create(path, "link-'key\"2") && db.close());
    EXPECT_TRUE(db.open(path) && db.getLinkKey() == "link-'key\"2");
    // No journal is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.dir()), fs::directory_iterator()), 1);
    EXPECT_TRUE(!db.create(scratch.path("missing/db"), "key") && db.getError() != 0);
    EXPECT_FALSE(db.open(scratch.path("absent")) || fs::exists(scratch.path("absent")));
    writeFile(scratch.path("garbage"), std::string(4096, 'g'));
    EXPECT_FALSE(db.open(scratch.path("garbage")) || !db.getLinkKey().empty());
}

} // namespace
