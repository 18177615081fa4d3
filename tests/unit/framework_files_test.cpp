// Framework file helpers: paths and their checks, temporary files and the sweep of leftovers,
// streaming copies and the info database.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include <sys/stat.h>
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
using vorntest::patternText;
using vorntest::readFile;
using vorntest::ScratchDir;
using vorntest::writeFile;

namespace {

const boost::function<bool()> NO_HOOK;
const boost::function<bool()> CANCEL = [] { return true; };

TEST(Path, JoinDirnameBasenameAndAbsPath) {
    const struct {
        const char *a, *b, *joined;
    } joins[] = {{"T", "dir/file", "T/dir/file"}, {"", "dir", "dir"}, {"T", "", "T"},
                 {"T/", "/file", "T/file"}, {"/", "x", "/x"}, {"a//", "//b", "a/b"}};
    for (const auto &c : joins) {
        EXPECT_EQ(Path::join(c.a, c.b), c.joined) << c.a << " + " << c.b;
    }
    const struct {
        const char *path, *dir, *base;
    } splits[] = {{"a", ".", "a"}, {"a/b/", "a", "b"}, {"/a", "/", "a"}, {"/", "/", "/"},
                  {"", ".", "."}, {"/a//b//", "/a", "b"}};
    for (const auto &c : splits) {
        EXPECT_EQ(Path::dirname(c.path), c.dir) << c.path;
        EXPECT_EQ(Path::basename(c.path), c.base) << c.path;
    }
    EXPECT_EQ(Path::absPath("/a/b/../c//d/"), "/a/c/d");
    EXPECT_EQ(Path::absPath("/"), "/");
}

TEST(PathChecks, RefuseWhatCannotNameABlobOrALocalFile) {
    const auto expect = [](const std::string &path, bool relative, bool relativeDir, bool file,
                           bool fileOrEmpty) {
        EXPECT_EQ(isValidRelativePath(path, false), relative) << path;
        EXPECT_EQ(isValidRelativePath(path, true), relativeDir) << path;
        EXPECT_EQ(isValidFileRelativePath(path, false), file) << path;
        EXPECT_EQ(isValidFileRelativePath(path, true), fileOrEmpty) << path;
    };
    const std::string longest(MAX_BLOB_NAME, 'a');
    expect("", true, true, false, true);
    expect("dir/file", true, true, true, true);
    expect("dir/", true, true, false, false);
    expect("a/..b/..c", true, true, true, true);
    expect(longest, true, false, true, true); // no room left for the trailing "/" of a directory
    for (const std::string &path : {std::string("/abs"), std::string("../up"), std::string("a/.."),
                                    longest + "a", std::string("a\0b", 3), std::string("a\nb")}) {
        expect(path, false, false, false, false);
    }
    ScratchDir scratch;
    writeFile(scratch.path("file"), "x");
    EXPECT_TRUE(isValidFileLocalPath(scratch.path("file"), true));
    EXPECT_TRUE(isValidFileLocalPath(scratch.path("absent"), false));
    for (const std::string &path : {scratch.path("absent"), scratch.dir(), scratch.path("file/")}) {
        EXPECT_FALSE(isValidFileLocalPath(path, true)) << path;
    }
}

TEST(ScopedTempFile, IsPlacedByItsPathAndRemovedUnlessRenamed) {
    ScratchDir scratch;
    vorntest::ScopedEnv env;
    env.set("TMPDIR", scratch.dir());
    {
        ScopedTempFile inTmp, beside(scratch.path("b")), part(scratch.path("b.part"));
        ScopedTempFile fromTemplate(scratch.path("CONF.XXXXXX")), unmoved(scratch.path("c"));
        EXPECT_EQ(Path::dirname(inTmp.getPath()), scratch.dir());
        EXPECT_EQ(Path::basename(beside.getPath()).rfind(".b.", 0), 0u); // hidden, beside
        EXPECT_NE(beside.getPath(), part.getPath());
        EXPECT_EQ(fromTemplate.getPath().size(), scratch.path("CONF.XXXXXX").size());
        struct stat st;
        ASSERT_EQ(::stat(beside.getPath().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        writeFile(beside.getPath(), "data");
        ASSERT_TRUE(beside.rename(scratch.path("b")));
        EXPECT_EQ(beside.getPath(), scratch.path("b"));
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
        if (!exitAfter) {
            raise(SIGSTOP);
        }
        _exit(0);
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
    ASSERT_GT(owner, 0);
    std::set<std::string> owned;
    for (const auto &entry : fs::directory_iterator(scratch.dir())) {
        owned.insert(entry.path().filename());
    }
    ASSERT_EQ(owned.size(), 3u);

    // Files named like those of a process whose pid was reused, of an owner that cannot be
    // checked (another boot or pid namespace), and of other programs.
    const std::string tagged = *owned.rbegin(); // "vorn-tmp.<scope>.<pid>.<start>.XXXXXX"
    const std::string::size_type pidAt = tagged.find('.', 9) + 1;
    const std::string reused =
        std::string(tagged).replace(pidAt, tagged.find('.', pidAt) - pidAt, "1");
    const std::string otherScope = "vorn-tmp.ffffffff" + tagged.substr(17);
    const struct {
        std::string name;
        bool old, swept;
    } planted[] = {{reused, false, true},       {otherScope, false, false},
                   {"." + otherScope, true, true}, {"vorn-tmp.notes", true, false},
                   {"dest.part", true, false}};
    for (const auto &p : planted) {
        writeFile(scratch.path(p.name), "x");
        if (p.old) {
            fs::last_write_time(scratch.path(p.name),
                                fs::file_time_type::clock::now() - std::chrono::hours(48));
        }
    }
    const auto nextRun = [&] { inChild([&] { ScopedTempFile beside(dest), inTmp; }, true); };
    nextRun();
    for (const std::string &name : owned) {
        EXPECT_TRUE(fs::exists(scratch.path(name))) << name;
    }
    for (const auto &p : planted) {
        EXPECT_NE(fs::exists(scratch.path(p.name)), p.swept) << p.name;
    }

    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    nextRun();
    for (const std::string &name : owned) {
        EXPECT_FALSE(fs::exists(scratch.path(name))) << name;
    }
}

TEST(StreamingCopies, AppendWholeFilesAndCopyPartsAcrossTheBufferSize) {
    ScratchDir scratch;
    const std::string big = patternText((1 << 20) * 2 + 17);
    writeFile(scratch.path("big"), big);
    FILE *out = fopen(scratch.path("out").c_str(), "w");
    ASSERT_NE(out, nullptr);
    TransferError error = TRANSFER_ERR_NONE;
    EXPECT_TRUE(AgentClient::appendFileToFp(scratch.path("big"), out, NO_HOOK, error));
    EXPECT_TRUE(AgentClient::appendFileToFp(scratch.path("big"), out, NO_HOOK, error));
    EXPECT_FALSE(AgentClient::appendFileToFp(scratch.path("big"), out, CANCEL, error));
    EXPECT_EQ(error, TRANSFER_ERR_CANCELLED);
    fclose(out);
    EXPECT_EQ(readFile(scratch.path("out")), big + big);
    // A few bytes stay buffered: the full disk shows only when they are flushed.
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_FALSE(AgentClient::appendFileToFp(scratch.path("out"), full, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_NO_SPACE);
    fclose(full);

    // Each part replaces the whole block file, longer or shorter than the one before.
    FILE *src = fopen(scratch.path("big").c_str(), "r");
    ASSERT_NE(src, nullptr);
    const std::string block = scratch.path("block");
    const long long first = (1 << 20) + 100;
    ASSERT_TRUE(AgentClient::copyPartToFile(src, block, first, NO_HOOK, error));
    EXPECT_EQ(readFile(block), big.substr(0, first));
    ASSERT_TRUE(AgentClient::copyPartToFile(src, block, 200, NO_HOOK, error));
    EXPECT_EQ(readFile(block), big.substr(first, 200));
    EXPECT_FALSE(AgentClient::copyPartToFile(src, block, 3 << 20, NO_HOOK, error)); // runs short
    EXPECT_EQ(error, TRANSFER_ERR_LOCAL_IO);
    fclose(src);
}

TEST(BackupInfoDb, RecordsAndReadsBackTheLinkKeyAndReportsFailures) {
    ScratchDir scratch;
    const std::string path = scratch.path(BackupInfoDb::FILE_NAME);
    writeFile(path, "whatever the file held before");
    BackupInfoDb db;
    ASSERT_TRUE(db.create(path, "first") && db.close()); // a second create replaces the first
    ASSERT_TRUE(db.create(path, "link-'key\"2") && db.close());
    ASSERT_TRUE(db.open(path));
    EXPECT_EQ(db.getLinkKey(), "link-'key\"2");
    // No journal is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.dir()), fs::directory_iterator()), 1);
    EXPECT_FALSE(db.create(scratch.path("missing/db"), "key"));
    EXPECT_NE(db.getError(), 0);
    EXPECT_FALSE(db.open(scratch.path("absent")));
    EXPECT_FALSE(fs::exists(scratch.path("absent")));
    writeFile(scratch.path("garbage"), std::string(4096, 'g'));
    EXPECT_FALSE(db.open(scratch.path("garbage")));
    EXPECT_EQ(db.getLinkKey(), "");
}

} // namespace
