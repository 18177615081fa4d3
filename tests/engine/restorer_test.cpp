#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>

#include "engine_fixture.h"
#include "restorer.h"

using namespace vornengine;
using enginetest::put;
using enginetest::randomBytes;
namespace fs = std::filesystem;

namespace {

std::string contentOf(const fs::path &path) {
    std::string bytes;
    return readLocalFile(path.string(), bytes).isOk() ? bytes : "<unreadable>";
}

// Every entry below `root` (sockets aside) with what a restore must give back.
std::map<std::string, std::string> describe(const fs::path &root) {
    std::map<std::string, std::string> entries;
    for (const auto &item : fs::recursive_directory_iterator(root)) {
        struct stat info;
        char note[64];
        const ssize_t noted = lgetxattr(item.path().c_str(), "user.note", note, sizeof note);
        if (lstat(item.path().c_str(), &info) != 0 || S_ISSOCK(info.st_mode)) {
            continue;
        }
        const std::string bytes = S_ISREG(info.st_mode) ? contentOf(item.path()) : "";
        entries[item.path().lexically_relative(root).string()] =
            std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid) +
            " links " + std::to_string(info.st_nlink) + " dev " + std::to_string(info.st_rdev) + " t " +
            std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + " sha " +
            sha256(bytes.data(), bytes.size()).hex() + " note " + std::string(note, std::max<ssize_t>(noted, 0)) +
            (S_ISLNK(info.st_mode) ? " -> " + fs::read_symlink(item.path()).string() : "");
    }
    return entries;
}

// The regular files below `root`, sorted; none when it does not exist.
std::vector<std::string> filesBelow(const fs::path &root) {
    std::vector<std::string> files;
    std::error_code absent;
    for (const auto &item : fs::recursive_directory_iterator(root, absent)) {
        if (item.is_regular_file() && !item.is_symlink()) {
            files.push_back(item.path().lexically_relative(root).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

RestoreRequest into(const fs::path &target, Overwrite overwrite = Overwrite::Always) {
    return RestoreRequest{target.string(), "", {}, overwrite};
}

class RestoreTest : public enginetest::EngineTest {
protected:
    // Restores with `store` (the test's own by default); problems are gathered by path.
    Status restore(const Snapshot &snapshot, const RestoreRequest &request, RestoreSummary &summary,
                   Store *store = nullptr, std::function<bool()> cancelled = {}) {
        auto repository = open(store);
        const Status status = repository->loadIndex();
        repository->setCancel(cancelled);
        RestoreObserver observer;
        observer.problem = [this](const std::string &relative, const std::string &reason) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_problems[relative] = reason;
        };
        observer.written = [this](int64_t) { m_written = true; };
        return status.isOk() ? runRestore(*repository, snapshot, request, observer, summary) : status;
    }

    std::mutex m_mutex;
    std::map<std::string, std::string> m_problems;
    std::atomic<bool> m_written{false};
};

} // namespace

TEST(RestorePlan, PlacesEntriesOnlyInsideTheTarget) {
    const struct {
        const char *selected, *below;
        bool contained;
        const char *placed;
    } cases[] = {
        {"", "a/b", true, "a/b"},       {"x/y", "", true, "y"},
        {"x/y", "z/w", true, "y/z/w"},  {"y", "", true, "y"},
        {"", "", false, ""},            {"", "../etc", false, ""},
        {"", "a/../../b", false, ""},   {"", "/etc", false, ""},
        {"", "a//b", false, ""},        {"", "a/./b", false, ""},
        {"x/..", "", false, ""},        {"x/..", "b", false, ""},
    };
    for (const auto &c : cases) {
        std::string placed;
        EXPECT_EQ(placeInTarget(c.selected, c.below, placed), c.contained) << c.selected << " | " << c.below;
        if (c.contained) {
            EXPECT_EQ(placed, c.placed);
        }
    }
}

TEST(RestorePlan, OverwriteModesDecideWhatHappensToWhatIsThere) {
    enum Existing { Nothing, SameFile, OtherSize, OtherTime, Directory, Link };
    using A = RestoreAction;
    const struct {
        Existing existing;
        NodeType type;
        A always, ifChanged, never;
    } cases[] = {
        {Nothing, NodeType::File, A::Create, A::Create, A::Create},
        {SameFile, NodeType::File, A::Replace, A::Skip, A::Skip},
        {OtherSize, NodeType::File, A::Replace, A::Replace, A::Skip},
        {OtherTime, NodeType::File, A::Replace, A::Replace, A::Skip},
        {Link, NodeType::File, A::Replace, A::Replace, A::Skip},
        {SameFile, NodeType::Symlink, A::Replace, A::Replace, A::Skip},
        {Directory, NodeType::File, A::Blocked, A::Blocked, A::Skip},
        {Directory, NodeType::Dir, A::Replace, A::Replace, A::Skip},
        {Link, NodeType::Dir, A::Replace, A::Replace, A::Skip},
    };
    Node node;
    node.size = 10;
    node.mtimeNs = 100 * 1000000000LL + 5;
    for (const auto &c : cases) {
        node.type = c.type;
        struct stat info {};
        info.st_mode = c.existing == Directory ? S_IFDIR : c.existing == Link ? S_IFLNK : S_IFREG;
        info.st_size = c.existing == OtherSize ? 11 : 10;
        info.st_mtim = {100, c.existing == OtherTime ? 6 : 5};
        const struct stat *existing = c.existing == Nothing ? nullptr : &info;
        EXPECT_EQ(decideAction(Overwrite::Always, existing, node), c.always) << c.existing << " " << int(c.type);
        EXPECT_EQ(decideAction(Overwrite::IfChanged, existing, node), c.ifChanged) << c.existing << " " << int(c.type);
        EXPECT_EQ(decideAction(Overwrite::Never, existing, node), c.never) << c.existing << " " << int(c.type);
    }
}

TEST(RestorePlan, EachPackOnceWithEveryPlaceItsBlobsGo) {
    std::map<ObjectId, std::string> names;
    auto id = [&](const std::string &name) {
        const ObjectId made = sha256(name.data(), name.size());
        names[made] = name;
        return made;
    };
    Index index; // blobs: type, id, offset, stored and plain length
    index.add({id("pack 1"), {{BlobType::Data, id("a"), 0, 50, 100}, {BlobType::Data, id("b"), 50, 7, 7}}});
    index.add({id("pack 2"), {{BlobType::Data, id("c"), 0, 30, 30}}});
    const std::vector<ObjectId> twice = {id("c"), id("a"), id("c")}, other = {id("b")},
                                lacking = {id("a"), id("x")}, empty;
    const ChunkPlan plan = planChunks({&twice, &other, &lacking, &empty}, index);
    std::vector<std::string> writes; // "pack: blob file@offset", in plan order
    for (const PackWork &pack : plan.packs) {
        for (const BlobWrites &blob : pack.blobs) {
            for (const ChunkWrite &w : blob.writes) {
                writes.push_back(names[pack.pack] + ": " + names[blob.entry.id] + " " +
                                 std::to_string(w.file) + "@" + std::to_string(w.offset));
            }
        }
    }
    // Packs in the order files first need them, blobs in stored order; nothing for a file
    // with a piece the index lacks.
    EXPECT_EQ(writes, (std::vector<std::string>{"pack 2: c 0@0", "pack 2: c 0@130", "pack 1: a 0@30",
                                                "pack 1: b 1@0"}));
    EXPECT_EQ(plan.writes, (std::vector<uint32_t>{3, 1, 0, 0}));
    EXPECT_EQ(plan.missing, (std::vector<ObjectId>{ObjectId(), ObjectId(), id("x"), ObjectId()}));
}

TEST_F(RestoreTest, GivesBackEveryKindOfNodeWithItsMetadata) {
    const fs::path src = m_root / "src";
    const bool root = geteuid() == 0;
    put(src / "big.bin", randomBytes(PACK_SIZE + (3u << 20), 1)); // spans packs
    put(src / "empty", "");
    put(src / "text.txt", "some text\n");
    put(src / "sub" / "deeper" / "file", randomBytes(5000, 2));
    put(src / "readonly" / "inside", "kept\n");
    put(src / "h1", "linked\n");
    ASSERT_EQ(link((src / "h1").c_str(), (src / "sub" / "h2").c_str()), 0);
    ASSERT_EQ(symlink("text.txt", (src / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((src / "fifo").c_str(), 0640), 0);
    sockaddr_un address{AF_UNIX, {}};
    snprintf(address.sun_path, sizeof address.sun_path, "%s", (src / "sock").c_str());
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(sock);
    lsetxattr((src / "text.txt").c_str(), "user.note", "hello", 5, 0); // where supported
    chmod((src / "text.txt").c_str(), 0640);
    chmod((src / "sub" / "deeper").c_str(), 0710);
    if (root) {
        ASSERT_EQ(mknod((src / "dev").c_str(), S_IFCHR | 0620, makedev(1, 3)), 0);
        put(src / "setuid", "#!/bin/sh\n");
        lchown((src / "setuid").c_str(), 1234, 5678);
        chmod((src / "setuid").c_str(), 04750);
        lchown((src / "sub").c_str(), 4321, 8765);
    }
    timespec times[2] = {{1500000000, 123456789}, {1500000000, 123456789}};
    for (const char *name : {"sub/deeper/file", "sub/deeper", "sub", "link", "fifo", "readonly/inside", "readonly"}) {
        ++times[1].tv_sec;
        utimensat(AT_FDCWD, (src / name).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    chmod((src / "readonly").c_str(), 0555);
    const Snapshot snapshot = backup(src);

    RestoreSummary summary;
    ASSERT_TRUE(restore(snapshot, into(m_root / "out"), summary).isOk());
    EXPECT_TRUE(m_problems.empty()) << m_problems.begin()->first << ": " << m_problems.begin()->second;
    EXPECT_EQ(describe(m_root / "out"), describe(src));
    EXPECT_TRUE(fs::equivalent(m_root / "out" / "h1", m_root / "out" / "sub" / "h2"));
    EXPECT_EQ(summary.files, root ? 8 : 7);
    EXPECT_EQ(summary.dirs, 3);
    EXPECT_EQ(summary.bytes, int64_t(PACK_SIZE + (3u << 20) + 5000 + 10 + 5 + 7 + (root ? 10 : 0)));

    // Cancelled once the first pack is written: what was begun leaves no temporary file.
    enginetest::DirectoryStore oneLane((m_root / "store").string(), 1);
    m_written = false;
    const Status cancelled = restore(snapshot, into(m_root / "cancelled"), summary, &oneLane,
                                     [this] { return m_written.load(); });
    EXPECT_EQ(cancelled.code(), Status::Code::Interrupted);
    for (const std::string &name : filesBelow(m_root / "cancelled")) {
        EXPECT_TRUE(name.find("vorn-tmp") == std::string::npos && name != "big.bin") << name;
    }
}

TEST_F(RestoreTest, PathSelectsOneFileOrDirectoryAndExclusionsApply) {
    const fs::path src = m_root / "src";
    put(src / "top", "t");
    put(src / "sub" / "x", "x");
    put(src / "sub" / "deeper" / "y", "y");
    const Snapshot snapshot = backup(src);
    const struct {
        const char *path, *excluded;
        Status::Code code;
        std::vector<std::string> files;
    } cases[] = {
        {"", "", Status::Code::Ok, {"sub/deeper/y", "sub/x", "top"}},
        {"", "sub/deeper", Status::Code::Ok, {"sub/x", "top"}},
        {"/sub/", "", Status::Code::Ok, {"sub/deeper/y", "sub/x"}},
        {"sub/deeper/y", "", Status::Code::Ok, {"y"}},
        {"sub/nope", "", Status::Code::NotFound, {}},
    };
    int n = 0;
    for (const auto &c : cases) {
        const fs::path target = m_root / ("out" + std::to_string(n++));
        RestoreRequest request = into(target);
        request.path = c.path;
        request.excluded = [&c](const std::string &relative, bool) { return relative == c.excluded; };
        RestoreSummary summary;
        EXPECT_EQ(restore(snapshot, request, summary).code(), c.code) << c.path;
        EXPECT_EQ(filesBelow(target), c.files) << c.path;
        EXPECT_EQ(fs::exists(target), c.code == Status::Code::Ok) << c.path;
    }
}

TEST_F(RestoreTest, DamagedOrMissingPackFailsOnlyTheFilesThatNeedIt) {
    const struct {
        bool remove; // else one byte flipped
        int64_t integrityProblems;
        const char *says;
    } cases[] = {{false, 1, "does not match its name"}, {true, 0, "missing from the target: pack"}};
    const fs::path src = m_root / "src";
    const std::string victim = randomBytes(100000, 3); // one chunk: its id is its SHA-256
    put(src / "victim", victim);
    backup(src); // the victim's pack holds nothing else
    put(src / "a.txt", "a");
    put(src / "b.txt", "b");
    const Snapshot snapshot = backup(src);
    auto repository = open();
    ASSERT_TRUE(repository->loadIndex().isOk());
    BlobLocation where;
    ASSERT_TRUE(repository->index().find(sha256(victim.data(), victim.size()), where));
    const fs::path pack = m_root / "store" / "data" / where.pack.hex();
    const std::string good = contentOf(pack);
    for (const auto &c : cases) {
        std::string bad = good;
        bad[bad.size() / 2] ^= 1;
        c.remove ? (void)fs::remove(pack) : put(pack, bad);
        const fs::path target = m_root / ("out" + std::to_string(c.remove));
        put(target / "victim", "what was there"); // a damaged file never replaces it
        RestoreSummary summary;
        m_problems.clear();
        ASSERT_TRUE(restore(snapshot, into(target), summary).isOk());
        EXPECT_EQ(summary.problems, 1);
        EXPECT_EQ(summary.integrityProblems, c.integrityProblems);
        EXPECT_NE(m_problems["victim"].find(c.says), std::string::npos) << m_problems["victim"];
        EXPECT_EQ(contentOf(target / "victim"), "what was there");
        EXPECT_EQ(contentOf(target / "a.txt") + contentOf(target / "b.txt"), "ab");
        EXPECT_EQ(filesBelow(target), (std::vector<std::string>{"a.txt", "b.txt", "victim"}));
        put(pack, good);
    }
}

TEST_F(RestoreTest, PlantedLinksNeverLeadOutside) {
    const fs::path src = m_root / "src", outside = m_root / "outside";
    put(src / "dir" / "file", "restored");
    put(src / "top", "restored");
    const Snapshot snapshot = backup(src);
    put(outside / "victim", "precious");
    for (Overwrite overwrite : {Overwrite::Always, Overwrite::IfChanged, Overwrite::Never}) {
        const fs::path target = m_root / ("out" + std::to_string(int(overwrite)));
        fs::create_directories(target);
        fs::create_directory_symlink(outside, target / "dir");
        fs::create_symlink(outside / "victim", target / "top");
        RestoreSummary summary;
        ASSERT_TRUE(restore(snapshot, into(target, overwrite), summary).isOk());
        EXPECT_EQ(summary.problems, 0);
        EXPECT_EQ(describe(outside).size(), 1u);
        EXPECT_EQ(contentOf(outside / "victim"), "precious");
        const bool replaced = overwrite != Overwrite::Never;
        EXPECT_EQ(fs::is_symlink(target / "dir"), !replaced);
        EXPECT_EQ(fs::is_symlink(target / "top"), !replaced);
        EXPECT_EQ(summary.skipped, replaced ? 0 : 2);
        if (replaced) {
            EXPECT_EQ(contentOf(target / "dir" / "file") + contentOf(target / "top"), "restoredrestored");
        }
    }
}
