#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <tuple>

#include "checker.h"
#include "diff.h"
#include "engine_fixture.h"
#include "forget.h"
#include "prune.h"

using namespace vornengine;
using enginetest::put;
using enginetest::randomBytes;
namespace fs = std::filesystem;

namespace {

RetentionPolicy keepLast(int n) {
    RetentionPolicy policy;
    policy.last = n;
    return policy;
}

class MaintenanceTest : public enginetest::EngineTest {
protected:
    CheckReport check(bool readData) {
        CheckReport report;
        EXPECT_TRUE(runCheck(*open(), readData, report, {}).isOk());
        return report;
    }

    CheckReport expectIntact() {
        const CheckReport report = check(true);
        EXPECT_EQ(report.missing, std::vector<std::string>());
        EXPECT_EQ(report.damaged, std::vector<std::string>());
        return report;
    }

    Status prune(PruneSummary &summary, Store *store = nullptr) {
        return runPrune(*open(store), "host", false, summary, {});
    }

    // A pack that an interrupted backup stored but never named in an index record.
    void addLeftover() {
        const std::string bytes = "left by an interrupted backup";
        put(m_target / "data" / sha256(bytes.data(), bytes.size()).hex(), bytes);
    }

    // How many packs of the index hold `blob`.
    size_t copies(const ObjectId &blob) {
        auto repository = open();
        EXPECT_TRUE(repository->loadIndex().isOk());
        size_t count = 0;
        for (const PackContents &pack : repository->index().packs()) {
            for (const PackEntry &entry : pack.entries) {
                count += entry.id == blob;
            }
        }
        return count;
    }
};

} // namespace

TEST(Forget, PlansEachHostAndPathsOnItsOwn) {
    std::vector<Snapshot> snapshots;
    for (const auto &[host, path, day] : std::vector<std::tuple<std::string, std::string, int>>{
             {"a", "/src", 0}, {"a", "/src", 1}, {"a", "/src", 2}, {"a", "/src", 3}, {"b", "/src", 1},
             {"b", "/src", 3}, {"a", "/etc", 2}}) {
        Snapshot snapshot;
        snapshot.hostname = host;
        snapshot.paths = {path};
        snapshot.timeNs = (1700000000 + day * 86400LL) * 1000000000LL;
        snapshot.tags = {host + path + "@" + std::to_string(day)};
        snapshot.id = sha256(snapshot.tags[0].data(), snapshot.tags[0].size());
        snapshots.push_back(snapshot);
    }
    RetentionPolicy daily;
    daily.daily = 2;
    const struct {
        RetentionPolicy policy;
        std::set<std::string> kept;
    } cases[] = {
        {keepLast(1), {"a/src@3", "b/src@3", "a/etc@2"}},
        {daily, {"a/src@3", "a/src@2", "b/src@3", "b/src@1", "a/etc@2"}},
    };
    for (const auto &c : cases) {
        std::vector<ForgetDecision> decisions;
        ASSERT_TRUE(planForget(snapshots, c.policy, decisions).isOk());
        ASSERT_EQ(decisions.size(), snapshots.size());
        std::set<std::string> kept;
        for (size_t i = 0; i < decisions.size(); ++i) {
            EXPECT_EQ(decisions[i].keep, !decisions[i].reasons.empty());
            if (decisions[i].keep) {
                kept.insert(decisions[i].snapshot.tags[0]);
            }
            if (i > 0 && decisions[i].snapshot.hostname == decisions[i - 1].snapshot.hostname &&
                decisions[i].snapshot.paths == decisions[i - 1].snapshot.paths) {
                EXPECT_LT(decisions[i].snapshot.timeNs, decisions[i - 1].snapshot.timeNs);
            }
        }
        EXPECT_EQ(kept, c.kept);
    }
    std::vector<ForgetDecision> decisions;
    EXPECT_EQ(planForget(snapshots, RetentionPolicy(), decisions).code(), Status::Code::Usage);
}

// The first snapshot holds `shared` and `gone`, the second `shared` and `added`; the first is
// forgotten. `gone` is what prune may free: its pack is rewritten when it is much of it.
TEST_F(MaintenanceTest, PruneFreesWhatOnlyForgottenSnapshotsNeeded) {
    const struct {
        const char *name;
        size_t shared, gone;
        bool rewritten;
    } cases[] = {{"mostly_unused", 200 << 10, 600 << 10, true}, {"little_unused", 3 << 20, 100 << 10, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        newTarget(c.name);
        const fs::path source = m_root / (std::string(c.name) + "-src");
        const std::string gone = randomBytes(c.gone, 2);
        put(source / "shared", randomBytes(c.shared, 1));
        put(source / "gone", gone);
        backup(source);
        fs::remove(source / "gone");
        put(source / "added", randomBytes(1000, 3));
        const Snapshot kept = backup(source);
        const std::vector<std::string> data = names("data"), index = names("index");
        std::vector<ForgetDecision> decisions;
        EXPECT_EQ(runForget(*open(), RetentionPolicy(), false, "host", decisions).code(), Status::Code::Usage);
        ASSERT_TRUE(runForget(*open(), keepLast(1), true, "host", decisions).isOk());
        EXPECT_EQ(decisions.size(), 2u);
        EXPECT_EQ(names("snapshots").size(), 2u);
        ASSERT_TRUE(runForget(*open(), keepLast(1), false, "host", decisions).isOk());
        EXPECT_EQ(names("snapshots"), std::vector<std::string>{"snapshots/" + kept.id.hex()});
        EXPECT_EQ(names("data"), data); // forget leaves the data to prune
        EXPECT_EQ(names("index"), index);
        addLeftover();

        PruneSummary summary;
        ASSERT_TRUE(prune(summary).isOk());
        EXPECT_EQ(summary.packsRewritten, c.rewritten ? 1 : 0);
        EXPECT_EQ(summary.packsLeftover, 1);
        EXPECT_GE(summary.packsRemoved, 1); // the forgotten snapshot's trees
        EXPECT_GT(summary.bytesFreed, 0);
        EXPECT_EQ(copies(sha256(gone.data(), gone.size())), c.rewritten ? 0u : 1u);
        EXPECT_EQ(expectIntact().snapshots, 1);

        ASSERT_TRUE(prune(summary).isOk()); // nothing left to do
        EXPECT_EQ(summary.packsRemoved + summary.packsRewritten + summary.packsLeftover, 0);
    }
}

// Two hosts that back up the same content at once both store it: one copy stays.
TEST_F(MaintenanceTest, PruneKeepsOneCopyOfABlobStoredTwice) {
    put(m_root / "src/a", randomBytes(5000, 4));
    backup(m_root / "src");
    auto repository = open();
    ASSERT_TRUE(repository->loadIndex().isOk());
    PackContents original;
    for (const PackContents &pack : repository->index().packs()) {
        if (pack.entries[0].type == BlobType::Data) {
            original = pack;
        }
    }
    std::string bytes;
    ASSERT_TRUE(repository->loadPack(original.id, bytes).isOk());
    const PackEntry &blob = original.entries[0];
    const std::string other = "the other host's own file";
    PackBuilder builder;
    builder.add(blob.type, blob.id, bytes.substr(blob.offset, blob.length), blob.plainLength);
    builder.add(BlobType::Data, sha256(other.data(), other.size()), repository->codec().encode(other.data(), other.size()),
                static_cast<uint32_t>(other.size()));
    PackContents twin;
    ObjectId record;
    ASSERT_TRUE(repository->savePack(builder.finish(repository->codec(), twin.entries), twin.id).isOk());
    ASSERT_TRUE(repository->saveRecord(INDEX_DIR, encodeIndexRecord({twin}), record).isOk());
    ASSERT_EQ(copies(blob.id), 2u);

    PruneSummary summary;
    ASSERT_TRUE(prune(summary).isOk());
    EXPECT_EQ(copies(blob.id), 1u);
    expectIntact();
}

// A prune stopped after each of its changes in turn (a removal refused, among them the first)
// leaves every snapshot whole, and the next prune finishes the work.
TEST_F(MaintenanceTest, PruneStoppedAtAnyStepLeavesEverySnapshotIntact) {
    const fs::path source = m_root / "src";
    for (int run = 0; run < 3; ++run) {
        put(source / ("f" + std::to_string(run)), randomBytes(300 << 10, 10 + run));
        put(source / "dir/changing", randomBytes(2000, 20 + run));
        backup(source);
    }
    std::vector<ForgetDecision> decisions;
    ASSERT_TRUE(runForget(*open(), keepLast(2), false, "host", decisions).isOk());
    addLeftover();
    const fs::path pristine = m_root / "pristine";
    fs::copy(m_target, pristine, fs::copy_options::recursive);

    int budget = 0;
    for (Status status = Status::failed("not run"); !status.isOk(); ++budget) {
        SCOPED_TRACE("changes allowed: " + std::to_string(budget));
        fs::remove_all(m_target);
        fs::copy(pristine, m_target, fs::copy_options::recursive);
        enginetest::FailingStore failing(m_target.string(), budget);
        PruneSummary summary;
        status = prune(summary, &failing);
        ASSERT_TRUE(status.isOk() || status.code() == Status::Code::Unavailable ||
                    status.code() == Status::Code::Access) << status.message();
        EXPECT_EQ(expectIntact().snapshots, 2);
        if (!status.isOk()) {
            ASSERT_TRUE(prune(summary).isOk());
            expectIntact();
        }
    }
    EXPECT_GT(budget, 6); // leftover, new pack, index record, old index records, packs
}

TEST_F(MaintenanceTest, CheckNamesEveryDamagedOrMissingObject) {
    newTarget("encrypted", "correct horse");
    put(m_root / "src/dir/a", randomBytes(4000, 7));
    put(m_root / "src/b", "plain text");
    backup(m_root / "src");
    const CheckReport clean = check(true);
    EXPECT_TRUE(clean.missing.empty() && clean.damaged.empty());
    EXPECT_EQ(clean.keys, 1);
    EXPECT_EQ(clean.trees, 2);
    EXPECT_EQ(clean.chunks, 2);
    EXPECT_GT(clean.bytesRead, 0);

    auto repository = open();
    ASSERT_TRUE(repository->loadIndex().isOk());
    std::string treePack, dataPack;
    for (const PackContents &pack : repository->index().packs()) {
        (pack.entries[0].type == BlobType::Tree ? treePack : dataPack) = "data/" + pack.id.hex();
    }
    for (const std::string &name : {dataPack, treePack, names("snapshots")[0], names("index")[0], names("keys")[0]}) {
        SCOPED_TRACE(name);
        std::string bytes;
        ASSERT_TRUE(readLocalFile((m_target / name).string(), bytes).isOk());
        auto opened = open(); // before the damage: a key record is needed to open
        std::string flipped = bytes;
        flipped[flipped.size() / 2] ^= 0x20;
        ASSERT_TRUE(writeLocalFile((m_target / name).string(), flipped).isOk());
        CheckReport report;
        ASSERT_TRUE(runCheck(*opened, true, report, {}).isOk());
        ASSERT_FALSE(report.damaged.empty());
        for (const std::string &line : report.damaged) {
            EXPECT_EQ(line.rfind(name + ": ", 0), 0u) << line;
        }
        ASSERT_TRUE(writeLocalFile((m_target / name).string(), bytes).isOk());
    }

    fs::rename(m_target / dataPack, m_root / "aside");
    const CheckReport report = check(false);
    EXPECT_TRUE(report.damaged.empty());
    ASSERT_EQ(report.missing.size(), 1u);
    EXPECT_EQ(report.missing[0].rfind(dataPack + ": named by index/", 0), 0u) << report.missing[0];
}

TEST_F(MaintenanceTest, DiffListsWhatChangedBetweenSnapshots) {
    const fs::path src = m_root / "src";
    for (const char *name : {"chmod.txt", "edit.txt", "gone.txt", "gonedir/x", "same.txt", "stable/s",
                             "sub/c", "swap", "touch.txt"}) {
        put(src / name, name);
    }
    fs::create_symlink("same.txt", src / "link");
    const Snapshot before = backup(src);
    chmod((src / "chmod.txt").c_str(), 0640);
    put(src / "edit.txt", "edited content");
    fs::remove(src / "gone.txt");
    fs::remove_all(src / "gonedir");
    fs::remove(src / "link");
    fs::create_symlink("edit.txt", src / "link");
    put(src / "new.txt", "new");
    put(src / "sub/c", "changed c");
    fs::remove(src / "swap");
    put(src / "swap/y", "y");
    const timespec times[2] = {{1000, 0}, {1000, 0}};
    utimensat(AT_FDCWD, (src / "touch.txt").c_str(), times, 0);
    const Snapshot after = backup(src);

    auto repository = open();
    ASSERT_TRUE(repository->loadIndex().isOk());
    std::vector<DiffEntry> entries;
    ASSERT_TRUE(diffSnapshots(*repository, before, after, entries).isOk());
    std::vector<std::string> listed;
    for (const DiffEntry &entry : entries) {
        listed.push_back(std::string(1, entry.kind) + " " + entry.path);
    }
    const std::vector<std::string> expected = {
        "m chmod.txt", "M edit.txt", "- gone.txt", "- gonedir", "- gonedir/x", "M link",
        "+ new.txt",   "M sub/c",    "T swap",     "+ swap/y",  "m touch.txt"};
    EXPECT_EQ(listed, expected);
    ASSERT_TRUE(diffSnapshots(*repository, after, after, entries).isOk());
    EXPECT_TRUE(entries.empty());
}
