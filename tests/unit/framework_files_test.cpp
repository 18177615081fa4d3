// Framework file helpers: paths and their checks, errno translations, temporary files,
// streaming copies and the info database.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include <sys/stat.h>
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

TEST(Path, JoinPutsOneSlashBetweenPieces) {
    const struct {
        const char *a, *b, *joined;
    } cases[] = {{"T", "dir/file", "T/dir/file"}, {"", "dir", "dir"},   {"T", "", "T"},
                 {"T/", "file", "T/file"},        {"T", "/file", "T/file"}, {"/", "x", "/x"},
                 {"a//", "//b", "a/b"}};
    for (const auto &c : cases) {
        EXPECT_EQ(Path::join(c.a, c.b), c.joined) << c.a << " + " << c.b;
    }
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(Path::absPath("x/./y"), Path::join(cwd, "x/y"));
    EXPECT_EQ(Path::absPath("/a/b/../c//d/"), "/a/c/d");
    EXPECT_EQ(Path::absPath("/"), "/");
}

TEST(Path, DirnameAndBasenameFollowPosix) {
    const struct {
        const char *path, *dir, *base;
    } cases[] = {{"a", ".", "a"},        {"a/b", "a", "b"},   {"a/b/", "a", "b"},
                 {"/a", "/", "a"},       {"/", "/", "/"},     {"", ".", "."},
                 {"/a//b//", "/a", "b"}, {"a/b/c", "a/b", "c"}};
    for (const auto &c : cases) {
        EXPECT_EQ(Path::dirname(c.path), c.dir) << c.path;
        EXPECT_EQ(Path::basename(c.path), c.base) << c.path;
    }
}

TEST(PathChecks, RefuseWhatCannotNameABlob) {
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
    // Absolute, climbing out, too long, or holding a character that ends a line or a C string.
    const std::string refused[] = {"/abs", "../up", "a/../b", "a/..", longest + "a",
                                   std::string("a\0b", 3), "a\rb", "a\nb"};
    for (const std::string &path : refused) {
        expect(path, false, false, false, false);
    }
}

TEST(PathChecks, LocalFilePath) {
    ScratchDir scratch;
    writeFile(scratch.path("file"), "x");
    EXPECT_TRUE(isValidFileLocalPath(scratch.path("file"), true));
    EXPECT_TRUE(isValidFileLocalPath(scratch.path("absent"), false));
    EXPECT_FALSE(isValidFileLocalPath(scratch.path("absent"), true));
    EXPECT_FALSE(isValidFileLocalPath(scratch.dir(), true));
    EXPECT_FALSE(isValidFileLocalPath(scratch.path("file/"), false));
    EXPECT_FALSE(isValidFileLocalPath("", false));
    EXPECT_FALSE(isValidFileLocalPath(std::string("a\0b", 3), false));
}

TEST(ErrnoTranslation, MapsLibcErrorsToTransferErrors) {
    const struct {
        int err;
        TransferError stat, io;
    } cases[] = {
        {ENOENT, TRANSFER_ERR_NOT_FOUND, TRANSFER_ERR_NOT_FOUND},
        {ENOTDIR, TRANSFER_ERR_NOT_FOUND, TRANSFER_ERR_NOT_FOUND},
        {EACCES, TRANSFER_ERR_ACCESS_DENIED, TRANSFER_ERR_ACCESS_DENIED},
        {EPERM, TRANSFER_ERR_ACCESS_DENIED, TRANSFER_ERR_ACCESS_DENIED},
        {ENAMETOOLONG, TRANSFER_ERR_INVALID, TRANSFER_ERR_INVALID},
        {ELOOP, TRANSFER_ERR_INVALID, TRANSFER_ERR_INVALID},
        {EINVAL, TRANSFER_ERR_INVALID, TRANSFER_ERR_INVALID},
        {EISDIR, TRANSFER_ERR_INVALID, TRANSFER_ERR_INVALID},
        {ENOSPC, TRANSFER_ERR_GENERIC, TRANSFER_ERR_NO_SPACE},
        {EDQUOT, TRANSFER_ERR_GENERIC, TRANSFER_ERR_NO_SPACE},
        {EROFS, TRANSFER_ERR_READ_ONLY, TRANSFER_ERR_READ_ONLY},
        {EIO, TRANSFER_ERR_LOCAL_IO, TRANSFER_ERR_LOCAL_IO},
        {EBUSY, TRANSFER_ERR_GENERIC, TRANSFER_ERR_GENERIC},
        {0, TRANSFER_ERR_GENERIC, TRANSFER_ERR_GENERIC},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(getTransferErrorByLibcStat(c.err), c.stat) << c.err;
        EXPECT_EQ(getTransferErrorByLibcFileIo(c.err), c.io) << c.err;
    }
}

TEST(ErrorTexts, NameEveryCode) {
    EXPECT_STREQ(transferErrorText(TRANSFER_ERR_AUTH), "rejected credentials");
    EXPECT_STREQ(targetErrorText(TM_ERR_NOT_SUPPORTED), "not supported");
    EXPECT_STREQ(targetErrorText(1001), "unknown error");
    const std::set<int> defined = {1, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 19, 20};
    for (int code = 1; code <= 30; ++code) {
        EXPECT_EQ(std::string(transferErrorText(code)) != "unknown error", defined.count(code) == 1)
            << code;
    }
}

TEST(ScopedTempFile, PlacesTheFileByItsPath) {
    ScratchDir scratch;
    vorntest::ScopedEnv env;
    env.set("TMPDIR", scratch.dir());

    ScopedTempFile inTmp;
    ASSERT_TRUE(inTmp.isValid());
    EXPECT_EQ(Path::dirname(inTmp.getPath()), scratch.dir());

    ScopedTempFile fromTemplate(scratch.path("TASK_CONFIG.XXXXXX"));
    ASSERT_TRUE(fromTemplate.isValid());
    EXPECT_EQ(fromTemplate.getPath().rfind(scratch.path("TASK_CONFIG."), 0), 0u);
    EXPECT_EQ(fromTemplate.getPath().size(), scratch.path("TASK_CONFIG.XXXXXX").size());

    // Beside the final name, hidden, and distinct for two names that share a prefix.
    ScopedTempFile beside(scratch.path("dest"));
    ScopedTempFile part(scratch.path("dest.part"));
    ASSERT_TRUE(beside.isValid() && part.isValid());
    EXPECT_EQ(Path::dirname(beside.getPath()), scratch.dir());
    EXPECT_EQ(Path::basename(beside.getPath()).rfind(".dest.", 0), 0u);
    EXPECT_NE(beside.getPath(), part.getPath());
    EXPECT_FALSE(fs::exists(scratch.path("dest")));

    struct stat st;
    ASSERT_EQ(::stat(beside.getPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_FALSE(ScopedTempFile(scratch.path("missing/dest")).isValid());
    EXPECT_FALSE(ScopedTempFile(scratch.path("missing/x.XXXXXX")).isValid());
}

TEST(ScopedTempFile, IsRemovedUnlessRenamedOrKept) {
    ScratchDir scratch;
    std::string failedRename, kept;
    {
        ScopedTempFile moved(scratch.path("b"));
        ScopedTempFile unmoved(scratch.path("c"));
        ScopedTempFile left(scratch.path("d"), false);
        failedRename = unmoved.getPath();
        kept = left.getPath();
        writeFile(moved.getPath(), "data");
        ASSERT_TRUE(moved.rename(scratch.path("b")));
        EXPECT_EQ(moved.getPath(), scratch.path("b"));
        EXPECT_FALSE(unmoved.rename(scratch.path("missing/c")));
        EXPECT_EQ(unmoved.getPath(), failedRename);
    }
    EXPECT_FALSE(fs::exists(failedRename));
    EXPECT_EQ(readFile(scratch.path("b")), "data");
    EXPECT_TRUE(fs::exists(kept));
}

TEST(StreamingCopies, AppendFileToFpAppendsWholeFilesAndReportsFailures) {
    ScratchDir scratch;
    const std::string big = patternText((1 << 20) * 2 + 17); // crosses the buffer size
    writeFile(scratch.path("one"), "head-");
    writeFile(scratch.path("two"), big);
    FILE *out = fopen(scratch.path("out").c_str(), "w");
    ASSERT_NE(out, nullptr);
    TransferError error = TRANSFER_ERR_NONE;
    EXPECT_TRUE(AgentClient::appendFileToFp(scratch.path("one"), out, NO_HOOK, error));
    EXPECT_TRUE(AgentClient::appendFileToFp(scratch.path("two"), out, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_NONE);
    EXPECT_FALSE(AgentClient::appendFileToFp(scratch.path("absent"), out, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_NOT_FOUND);
    EXPECT_FALSE(AgentClient::appendFileToFp(scratch.path("one"), out, CANCEL, error));
    EXPECT_EQ(error, TRANSFER_ERR_CANCELLED);
    fclose(out);
    EXPECT_EQ(readFile(scratch.path("out")), "head-" + big);

    // A few bytes stay buffered: the full disk shows only when they are flushed.
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_FALSE(AgentClient::appendFileToFp(scratch.path("one"), full, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_NO_SPACE);
    fclose(full);
}

TEST(StreamingCopies, CopyPartToFileReplacesTheDestinationWithTheNextPart) {
    ScratchDir scratch;
    const std::string content = patternText((1 << 20) + 300);
    const std::string block = scratch.path("block");
    writeFile(scratch.path("src"), content);
    writeFile(block, std::string(5 << 20, 'x')); // longer than any part
    FILE *src = fopen(scratch.path("src").c_str(), "r");
    ASSERT_NE(src, nullptr);
    TransferError error = TRANSFER_ERR_NONE;
    const long long first = (1 << 20) + 100;
    ASSERT_TRUE(AgentClient::copyPartToFile(src, block, first, NO_HOOK, error));
    EXPECT_EQ(readFile(block), content.substr(0, first));
    ASSERT_TRUE(AgentClient::copyPartToFile(src, block, 200, NO_HOOK, error));
    EXPECT_EQ(readFile(block), content.substr(first));
    ASSERT_TRUE(AgentClient::copyPartToFile(src, block, 0, NO_HOOK, error));
    EXPECT_EQ(readFile(block), "");
    EXPECT_EQ(error, TRANSFER_ERR_NONE);

    // The source is used up: any further part is short.
    EXPECT_FALSE(AgentClient::copyPartToFile(src, block, 1, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_LOCAL_IO);
    EXPECT_FALSE(AgentClient::copyPartToFile(src, block, 5, CANCEL, error));
    EXPECT_EQ(error, TRANSFER_ERR_CANCELLED);
    EXPECT_FALSE(AgentClient::copyPartToFile(src, scratch.path("missing/b"), 5, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_NOT_FOUND);
    fclose(src);
}

TEST(BackupInfoDb, RecordsAndReadsBackTheLinkKeyAndReportsFailures) {
    ScratchDir scratch;
    const std::string path = scratch.path(BackupInfoDb::FILE_NAME);
    writeFile(path, "whatever the file held before");
    BackupInfoDb db;
    // A second create replaces the first database.
    ASSERT_TRUE(db.create(path, "first"));
    ASSERT_TRUE(db.close());
    ASSERT_TRUE(db.create(path, "link-'key\"2"));
    ASSERT_TRUE(db.close());
    EXPECT_EQ(db.getLinkKey(), "");

    ASSERT_TRUE(db.open(path));
    EXPECT_EQ(db.getLinkKey(), "link-'key\"2");
    EXPECT_EQ(db.getError(), 0);
    // No journal is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.dir()), fs::directory_iterator()), 1);

    EXPECT_FALSE(db.create(scratch.path("missing/db"), "key"));
    EXPECT_NE(db.getError(), 0);
    EXPECT_FALSE(db.open(scratch.path("absent")));
    EXPECT_NE(db.getError(), 0);
    EXPECT_FALSE(fs::exists(scratch.path("absent")));
    writeFile(scratch.path("garbage"), std::string(4096, 'g'));
    EXPECT_FALSE(db.open(scratch.path("garbage")));
    EXPECT_EQ(db.getLinkKey(), "");
}

} // namespace
