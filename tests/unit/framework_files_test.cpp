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
using vorntest::readFile;
using vorntest::ScratchDir;
using vorntest::writeFile;

namespace {

const boost::function<bool()> NO_HOOK;

std::string patternText(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(i % 251);
    }
    return text;
}

// --- Path ---------------------------------------------------------------------------------

TEST(PathJoin, PutsOneSlashBetweenPieces) {
    const struct {
        const char *a, *b, *joined;
    } cases[] = {{"T", "dir/file", "T/dir/file"}, {"", "dir", "dir"},   {"T", "", "T"},
                 {"T/", "file", "T/file"},        {"T", "/file", "T/file"}, {"/", "x", "/x"},
                 {"a//", "//b", "a/b"}};
    for (const auto &c : cases) {
        EXPECT_EQ(Path::join(c.a, c.b), c.joined) << c.a << " + " << c.b;
    }
}

TEST(PathDirnameBasename, FollowPosix) {
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

TEST(PathAbsPath, IsRelativeToTheWorkingDirectory) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(Path::absPath("x/./y"), Path::join(cwd, "x/y"));
    EXPECT_EQ(Path::absPath("/a/b/../c//d/"), "/a/c/d");
    EXPECT_EQ(Path::absPath("/"), "/");
}

TEST(PathChecks, RefuseWhatCannotNameABlob) {
    const std::string longest(MAX_BLOB_NAME, 'a');
    const struct {
        std::string path;
        bool relative, relativeDir, file, fileOrEmpty;
    } cases[] = {
        {"", true, true, false, true},
        {"dir/file", true, true, true, true},
        {"dir/", true, true, false, false},
        {"/abs", false, false, false, false},
        {"../up", false, false, false, false},
        {"a/../b", false, false, false, false},
        {"a/..", false, false, false, false},
        {"a/..b/..c", true, true, true, true},
        {std::string("a\0b", 3), false, false, false, false},
        {"a\rb", false, false, false, false},
        {"a\nb", false, false, false, false},
        {longest, true, false, true, true},
        {longest + "a", false, false, false, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(isValidRelativePath(c.path, false), c.relative) << c.path;
        EXPECT_EQ(isValidRelativePath(c.path, true), c.relativeDir) << c.path;
        EXPECT_EQ(isValidFileRelativePath(c.path, false), c.file) << c.path;
        EXPECT_EQ(isValidFileRelativePath(c.path, true), c.fileOrEmpty) << c.path;
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
    const std::set<int> defined = {1, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 19, 20};
    for (int code = 1; code <= 30; ++code) {
        EXPECT_EQ(std::string(transferErrorText(code)) != "unknown error", defined.count(code) == 1)
            << code;
    }
    EXPECT_STREQ(targetErrorText(1001), "unknown error");
}

// --- ScopedTempFile -----------------------------------------------------------------------

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
    EXPECT_EQ(st.st_size, 0);
}

TEST(ScopedTempFile, IsRemovedUnlessRenamedOrKept) {
    ScratchDir scratch;
    std::string removed, kept;
    {
        ScopedTempFile temp(scratch.path("a"));
        ScopedTempFile moved(scratch.path("b"));
        ScopedTempFile left(scratch.path("c"), false);
        removed = temp.getPath();
        kept = left.getPath();
        writeFile(moved.getPath(), "data");
        ASSERT_TRUE(moved.rename(scratch.path("b")));
        EXPECT_EQ(moved.getPath(), scratch.path("b"));
    }
    EXPECT_FALSE(fs::exists(removed));
    EXPECT_EQ(readFile(scratch.path("b")), "data");
    EXPECT_TRUE(fs::exists(kept));
}

TEST(ScopedTempFile, FailsInAMissingDirectoryAndAFailedRenameKeepsRemoval) {
    ScratchDir scratch;
    EXPECT_FALSE(ScopedTempFile(scratch.path("missing/dest")).isValid());
    EXPECT_FALSE(ScopedTempFile(scratch.path("missing/x.XXXXXX")).isValid());
    std::string path;
    {
        ScopedTempFile temp(scratch.path("a"));
        path = temp.getPath();
        EXPECT_FALSE(temp.rename(scratch.path("missing/a")));
        EXPECT_EQ(temp.getPath(), path);
    }
    EXPECT_FALSE(fs::exists(path));
}

// --- Streaming copies ---------------------------------------------------------------------

TEST(AppendFileToFp, AppendsWholeFilesAtThePosition) {
    ScratchDir scratch;
    const std::string big = patternText((1 << 20) * 2 + 17); // crosses the buffer size
    writeFile(scratch.path("one"), "head-");
    writeFile(scratch.path("two"), big);
    FILE *out = fopen(scratch.path("out").c_str(), "w");
    ASSERT_NE(out, nullptr);
    TransferError error = TRANSFER_ERR_NONE;
    EXPECT_TRUE(AgentClient::appendFileToFp(scratch.path("one"), out, NO_HOOK, error));
    EXPECT_TRUE(AgentClient::appendFileToFp(scratch.path("two"), out, NO_HOOK, error));
    fclose(out);
    EXPECT_EQ(error, TRANSFER_ERR_NONE);
    EXPECT_EQ(readFile(scratch.path("out")), "head-" + big);
}

TEST(AppendFileToFp, ReportsMissingSourceAndCancellation) {
    ScratchDir scratch;
    writeFile(scratch.path("src"), "data");
    FILE *out = fopen(scratch.path("out").c_str(), "w");
    ASSERT_NE(out, nullptr);
    TransferError error = TRANSFER_ERR_NONE;
    EXPECT_FALSE(AgentClient::appendFileToFp(scratch.path("absent"), out, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_NOT_FOUND);
    EXPECT_FALSE(AgentClient::appendFileToFp(scratch.path("src"), out, [] { return true; }, error));
    EXPECT_EQ(error, TRANSFER_ERR_CANCELLED);
    fclose(out);
    EXPECT_EQ(readFile(scratch.path("out")), "");
}

TEST(AppendFileToFp, ReportsAFullDisk) {
    ScratchDir scratch;
    writeFile(scratch.path("src"), patternText(4096));
    FILE *full = fopen("/dev/full", "w");
    if (!full) {
        GTEST_SKIP() << "no /dev/full";
    }
    TransferError error = TRANSFER_ERR_NONE;
    EXPECT_FALSE(AgentClient::appendFileToFp(scratch.path("src"), full, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_NO_SPACE);
    fclose(full);
}

TEST(CopyPartToFile, CopiesConsecutivePartsReplacingTheDestination) {
    ScratchDir scratch;
    const std::string content = patternText((1 << 20) + 300);
    writeFile(scratch.path("src"), content);
    writeFile(scratch.path("block"), std::string(5 << 20, 'x')); // longer than any part
    FILE *src = fopen(scratch.path("src").c_str(), "r");
    ASSERT_NE(src, nullptr);
    TransferError error = TRANSFER_ERR_NONE;
    ASSERT_TRUE(AgentClient::copyPartToFile(src, scratch.path("block"), (1 << 20) + 100, NO_HOOK,
                                            error));
    EXPECT_EQ(readFile(scratch.path("block")), content.substr(0, (1 << 20) + 100));
    ASSERT_TRUE(AgentClient::copyPartToFile(src, scratch.path("block"), 200, NO_HOOK, error));
    EXPECT_EQ(readFile(scratch.path("block")), content.substr((1 << 20) + 100));
    ASSERT_TRUE(AgentClient::copyPartToFile(src, scratch.path("block"), 0, NO_HOOK, error));
    EXPECT_EQ(readFile(scratch.path("block")), "");
    fclose(src);
    EXPECT_EQ(error, TRANSFER_ERR_NONE);
}

TEST(CopyPartToFile, FailsOnAShortSourceCancellationAndABadDestination) {
    ScratchDir scratch;
    writeFile(scratch.path("src"), "0123456789");
    FILE *src = fopen(scratch.path("src").c_str(), "r");
    ASSERT_NE(src, nullptr);
    TransferError error = TRANSFER_ERR_NONE;
    EXPECT_FALSE(AgentClient::copyPartToFile(src, scratch.path("block"), 11, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_LOCAL_IO);
    rewind(src);
    EXPECT_FALSE(
        AgentClient::copyPartToFile(src, scratch.path("block"), 5, [] { return true; }, error));
    EXPECT_EQ(error, TRANSFER_ERR_CANCELLED);
    EXPECT_FALSE(AgentClient::copyPartToFile(src, scratch.path("missing/block"), 5, NO_HOOK, error));
    EXPECT_EQ(error, TRANSFER_ERR_NOT_FOUND);
    fclose(src);
}

// --- BackupInfoDb -------------------------------------------------------------------------

TEST(BackupInfoDb, RecordsAndReadsBackTheLinkKey) {
    ScratchDir scratch;
    const std::string path = scratch.path(BackupInfoDb::FILE_NAME);
    writeFile(path, "whatever the file held before");
    BackupInfoDb db;
    // A second create replaces the first database.
    ASSERT_TRUE(db.create(path, "first"));
    ASSERT_TRUE(db.close());
    ASSERT_TRUE(db.create(path, "link-'key\"2"));
    EXPECT_EQ(db.getLinkKey(), "link-'key\"2");
    ASSERT_TRUE(db.close());
    EXPECT_EQ(db.getLinkKey(), "");

    ASSERT_TRUE(db.open(path));
    EXPECT_EQ(db.getLinkKey(), "link-'key\"2");
    EXPECT_EQ(db.getError(), 0);
    // No journal is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.dir()), fs::directory_iterator()), 1);
}

TEST(BackupInfoDb, ReportsFailures) {
    ScratchDir scratch;
    BackupInfoDb db;
    EXPECT_FALSE(db.create(scratch.path("missing/db"), "key"));
    EXPECT_NE(db.getError(), 0);
    EXPECT_FALSE(db.open(scratch.path("absent")));
    EXPECT_NE(db.getError(), 0);
    writeFile(scratch.path("garbage"), std::string(4096, 'g'));
    EXPECT_FALSE(db.open(scratch.path("garbage")));
    EXPECT_EQ(db.getLinkKey(), "");
    EXPECT_FALSE(fs::exists(scratch.path("absent")));
}

} // namespace
