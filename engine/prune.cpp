#include "prune.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "format.h"
#include "lock.h"
#include "pack.h"
#include "parallel.h"

namespace vornengine {

namespace {

// Trees loaded at once per lane while marking: the lanes stay busy, few trees sit in memory.
const size_t MARK_BATCH_PER_LANE = 16;
// A partly used pack is rewritten when more than this share of its bytes is unused...
const int64_t REWRITE_UNUSED_PERCENT = 10;
// ...or when it is this small, so that rewriting it costs next to nothing.
const int64_t SMALL_PACK = PACK_SIZE / 8;
// Blob entries per index record that prune writes: records of a few MiB at most.
const size_t ENTRIES_PER_INDEX_RECORD = 20000;

std::string dataName(const ObjectId &id) {
    return std::string(DATA_DIR) + "/" + id.hex();
}

std::string sizeText(int64_t bytes) {
    char text[32];
    if (bytes < 1024) {
        snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    } else {
        const bool large = bytes >= (1 << 20);
        snprintf(text, sizeof text, "%.1f %s", double(bytes) / (large ? 1 << 20 : 1 << 10), large ? "MiB" : "KiB");
    }
    return text;
}

// A snapshot the walk could not read stops the prune: without its trees, what it needs is
// unknown. Failures of the link keep their class; anything else is damage.
Status refusal(const Status &why) {
    const Status::Code code = why.code();
    if (code == Status::Code::Access || code == Status::Code::Unavailable ||
        code == Status::Code::Interrupted) {
        return why;
    }
    return Status::integrity("prune stopped before changing anything: " + why.message() +
                             "; run check");
}

struct PackPlan {
    PackContents contents;
    int64_t size = 0;
    std::vector<bool> used; // per entry: the copy of a needed blob that stays
};

struct Plan {
    std::vector<PackContents> kept;
    std::vector<PackPlan> rewrite, unused;
    std::vector<std::pair<ObjectId, int64_t>> leftovers;
    size_t absent = 0; // packs the index names that the target does not hold

    bool changesNothing() const {
        return rewrite.empty() && unused.empty() && leftovers.empty() && absent == 0;
    }
};

bool needed(const UsedBlobs &used, const PackEntry &entry) {
    return entry.type == BlobType::Tree ? used.trees.count(entry.id) != 0 : used.data.count(entry.id) != 0;
}

// Picks one stored copy of each needed blob and sorts the packs by what becomes of them.
Status planPacks(const Index &index, const UsedBlobs &used, const std::map<ObjectId, int64_t> &stored,
                 Plan &plan, PruneSummary &summary) {
    // Packs whose every blob is needed choose first, so a blob stored twice keeps the copy that
    // leaves no pack partly used.
    std::vector<PackContents> packs = index.packs();
    std::stable_partition(packs.begin(), packs.end(), [&](const PackContents &pack) {
        return std::all_of(pack.entries.begin(), pack.entries.end(),
                           [&](const PackEntry &entry) { return needed(used, entry); });
    });
    UsedBlobs chosen;
    for (const PackContents &pack : packs) {
        const auto found = stored.find(pack.id);
        if (found == stored.end()) {
            ++plan.absent;
            continue;
        }
        PackPlan item;
        item.contents = pack;
        item.size = found->second;
        size_t usedCount = 0;
        int64_t usedBytes = 0, unusedBytes = 0;
        for (const PackEntry &entry : pack.entries) {
            auto &copies = entry.type == BlobType::Tree ? chosen.trees : chosen.data;
            const bool keep = needed(used, entry) && copies.insert(entry.id).second;
            item.used.push_back(keep);
            usedCount += keep;
            (keep ? usedBytes : unusedBytes) += entry.length;
        }
        if (usedCount == 0) {
            summary.blobsRemoved += static_cast<int64_t>(pack.entries.size());
            plan.unused.push_back(std::move(item));
        } else if (usedCount < pack.entries.size() &&
                   (unusedBytes * 100 > item.size * REWRITE_UNUSED_PERCENT || item.size < SMALL_PACK)) {
            summary.blobsRemoved += static_cast<int64_t>(pack.entries.size() - usedCount);
            summary.bytesRepacked += usedBytes;
            plan.rewrite.push_back(std::move(item));
        } else {
            plan.kept.push_back(std::move(item.contents));
        }
    }
    const size_t lost = used.trees.size() + used.data.size() - chosen.trees.size() - chosen.data.size();
    if (lost != 0) {
        return refusal(Status::integrity(std::to_string(lost) + " blobs that snapshots need are in no pack of the target"));
    }
    for (const auto &file : stored) {
        if (!index.hasPack(file.first)) {
            plan.leftovers.push_back(file);
        }
    }
    summary.packsKept = static_cast<int64_t>(plan.kept.size());
    summary.packsRewritten = static_cast<int64_t>(plan.rewrite.size());
    summary.packsRemoved = static_cast<int64_t>(plan.unused.size());
    summary.packsLeftover = static_cast<int64_t>(plan.leftovers.size());
    for (const auto &group : {&plan.rewrite, &plan.unused}) {
        for (const PackPlan &pack : *group) {
            summary.bytesFreed += pack.size;
        }
    }
    for (const auto &leftover : plan.leftovers) {
        summary.bytesFreed += leftover.second;
    }
    summary.bytesFreed -= summary.bytesRepacked; // the new packs' headers are left out of the estimate
    return Status::ok();
}

// Copies the used blobs of partly used packs into new packs, as they are stored (checked, not
// re-encoded), from several lanes at once.
class Repacker {
public:
    explicit Repacker(Repository &repository) : m_repository(repository) {}

    Status copy(const PackPlan &pack) {
        std::string bytes;
        Status status = m_repository.loadPack(pack.contents.id, bytes);
        for (size_t i = 0; status.isOk() && i < pack.used.size(); ++i) {
            if (pack.used[i]) {
                const PackEntry &entry = pack.contents.entries[i];
                std::string plain;
                status = openBlob(m_repository.codec(), bytes, entry, plain).about(dataName(pack.contents.id));
                if (status.isOk()) {
                    status = add(entry, bytes.substr(entry.offset, entry.length));
                }
            }
        }
        return status;
    }

    // Stores what is still gathered.
    Status finish() {
        Status status;
        for (PackBuilder &builder : m_builders) {
            if (status.isOk() && !builder.empty()) {
                std::vector<PackEntry> entries;
                std::string bytes = builder.finish(m_repository.codec(), entries);
                status = store(bytes, std::move(entries));
            }
        }
        return status;
    }

    const std::vector<PackContents> &written() const { return m_written; }
    int64_t bytesWritten() const { return m_bytesWritten; }

private:
    Status add(const PackEntry &entry, const std::string &stored) {
        std::vector<PackEntry> entries;
        std::string bytes;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            PackBuilder &builder = m_builders[static_cast<size_t>(entry.type)];
            builder.add(entry.type, entry.id, stored, entry.plainLength);
            if (builder.size() < PACK_SIZE) {
                return Status::ok();
            }
            bytes = builder.finish(m_repository.codec(), entries);
        }
        return store(bytes, std::move(entries));
    }

    Status store(const std::string &bytes, std::vector<PackEntry> entries) {
        PackContents pack;
        pack.entries = std::move(entries);
        Status status = m_repository.savePack(bytes, pack.id);
        if (status.isOk()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_written.push_back(std::move(pack));
            m_bytesWritten += static_cast<int64_t>(bytes.size());
        }
        return status;
    }

    Repository &m_repository;
    std::mutex m_mutex;
    PackBuilder m_builders[2]; // by BlobType: trees stay apart from chunks
    std::vector<PackContents> m_written;
    int64_t m_bytesWritten = 0;
};

// Stores index records naming `packs`, several at once.
Status storeIndex(Repository &repository, const std::vector<PackContents> &packs,
                  std::vector<ObjectId> &records) {
    std::vector<std::vector<PackContents>> groups;
    size_t entries = ENTRIES_PER_INDEX_RECORD;
    for (const PackContents &pack : packs) {
        if (entries + pack.entries.size() > ENTRIES_PER_INDEX_RECORD) {
            groups.emplace_back();
            entries = 0;
        }
        groups.back().push_back(pack);
        entries += pack.entries.size();
    }
    records.assign(groups.size(), ObjectId());
    return runParallel(
        groups.size(), repository.lanes(),
        [&](size_t i) { return repository.saveRecord(INDEX_DIR, encodeIndexRecord(groups[i]), records[i]); },
        repository.cancelHook());
}

// Removes every name, the first alone: a target that refuses removals stops the run at that one.
// A name gone already counts as removed.
Status removeAll(Repository &repository, const std::vector<std::string> &names) {
    auto removeOne = [&](size_t i) {
        Status status = repository.store().remove(names[i]);
        return status.code() == Status::Code::NotFound ? Status::ok() : status.about(names[i]);
    };
    if (names.empty()) {
        return Status::ok();
    }
    Status status = removeOne(0);
    if (!status.isOk()) {
        return status;
    }
    return runParallel(
        names.size() - 1, repository.lanes(), [&](size_t i) { return removeOne(i + 1); },
        repository.cancelHook());
}

// Steps 3 to 5 of the header: new packs, new index, then the removals that depend on them.
Status applyPlan(Repository &repository, RepositoryLock &lock, const Plan &plan,
                 PruneSummary &summary, const std::function<void(const std::string &)> &progressLine) {
    Repacker repacker(repository);
    Status status = runParallel(
        plan.rewrite.size(), repository.lanes(), [&](size_t i) { return repacker.copy(plan.rewrite[i]); },
        repository.cancelHook());
    if (status.isOk()) {
        status = repacker.finish();
    }
    if (!status.isOk()) {
        return status;
    }
    summary.packsWritten = static_cast<int64_t>(repacker.written().size());
    summary.bytesFreed += summary.bytesRepacked - repacker.bytesWritten();
    if (!plan.rewrite.empty()) {
        progressLine("copied " + sizeText(summary.bytesRepacked) + " from " + std::to_string(plan.rewrite.size()) +
                     " partly used packs into " + std::to_string(summary.packsWritten) + " new ones");
    }

    std::vector<PackContents> named = plan.kept;
    named.insert(named.end(), repacker.written().begin(), repacker.written().end());
    std::vector<ObjectId> records;
    if (!(status = storeIndex(repository, named, records)).isOk()) {
        return status;
    }
    summary.indexRecordsWritten = static_cast<int64_t>(records.size());
    std::vector<std::string> oldRecords;
    for (const ObjectId &id : repository.indexRecords()) {
        if (std::find(records.begin(), records.end(), id) == records.end()) { // same text, same name
            oldRecords.push_back(std::string(INDEX_DIR) + "/" + id.hex());
        }
    }
    if (!(status = lock.confirm()).isOk() || !(status = removeAll(repository, oldRecords)).isOk()) {
        return status;
    }
    summary.indexRecordsRemoved = static_cast<int64_t>(oldRecords.size());
    progressLine("stored " + std::to_string(records.size()) + " index records in place of " +
                 std::to_string(oldRecords.size()));

    // A new pack may have the very bytes, and so the name, of one it replaces (a plain target
    // writes the same pack for the same blobs): what the new index names stays.
    std::set<ObjectId> keep;
    for (const PackContents &pack : named) {
        keep.insert(pack.id);
    }
    std::vector<std::string> packs;
    for (const auto &group : {&plan.rewrite, &plan.unused}) {
        for (const PackPlan &pack : *group) {
            if (!keep.count(pack.contents.id)) {
                packs.push_back(dataName(pack.contents.id));
            }
        }
    }
    if (!(status = removeAll(repository, packs)).isOk()) {
        return status;
    }
    progressLine("removed " + std::to_string(packs.size()) + " packs, " + sizeText(summary.bytesFreed) + " freed");
    return Status::ok();
}

// Loads `batch` several at a time. The first tree of each pack not read before goes ahead of
// the others, so that no pack is downloaded by several lanes at once.
Status loadTrees(Repository &repository, const std::vector<ObjectId> &batch, std::set<ObjectId> &packsRead,
                 std::vector<Tree> &trees, std::vector<Status> &loaded) {
    std::vector<size_t> first, rest;
    for (size_t i = 0; i < batch.size(); ++i) {
        BlobLocation where;
        const bool unread = repository.index().find(batch[i], where) && packsRead.insert(where.pack).second;
        (unread ? first : rest).push_back(i);
    }
    for (const std::vector<size_t> *group : {&first, &rest}) {
        Status status = runParallel(
            group->size(), repository.lanes(),
            [&](size_t k) {
                const size_t i = (*group)[k];
                loaded[i] = repository.loadTree(batch[i], trees[i]);
                return Status::ok();
            },
            repository.cancelHook());
        if (!status.isOk()) {
            return status;
        }
    }
    return Status::ok();
}

} // namespace

std::string describe(const PruneSummary &summary, bool dryRun) {
    const int64_t gone = summary.packsRemoved + summary.packsRewritten + summary.packsLeftover;
    if (gone == 0) {
        return std::to_string(summary.snapshots) + " snapshots need every stored blob: nothing to prune";
    }
    std::string kinds;
    auto add = [&kinds](int64_t count, const std::string &what) {
        if (count != 0) {
            kinds += (kinds.empty() ? "" : ", ") + std::to_string(count) + " " + what;
        }
    };
    add(summary.packsRemoved, "unused");
    add(summary.packsRewritten, "partly used, their " + sizeText(summary.bytesRepacked) + " in use copied");
    add(summary.packsLeftover, "left by interrupted runs");
    return std::string(dryRun ? "would remove " : "removed ") + std::to_string(gone) + " of " +
           std::to_string(gone + summary.packsKept) + " packs (" + kinds + "): " +
           std::to_string(summary.blobsRemoved) + " blobs, " + sizeText(summary.bytesFreed) +
           (dryRun ? " would be freed" : " freed");
}

Status listPacks(Repository &repository, std::map<ObjectId, int64_t> &packs) {
    std::vector<StoredFile> files;
    Status status = repository.store().list(DATA_DIR, files);
    if (!status.isOk()) {
        return status.about("listing " + std::string(DATA_DIR));
    }
    const std::string prefix = std::string(DATA_DIR) + "/";
    for (const StoredFile &file : files) {
        ObjectId id;
        if (file.name.compare(0, prefix.size(), prefix) == 0 && ObjectId::parse(file.name.substr(prefix.size()), id)) {
            packs[id] = file.size;
        }
    }
    return Status::ok();
}

Status markUsed(Repository &repository, const std::vector<ObjectId> &roots, UsedBlobs &used,
                const std::function<void(const ObjectId &tree, const Status &why)> &unreadable) {
    std::vector<ObjectId> pending;
    for (const ObjectId &root : roots) {
        if (used.trees.insert(root).second) {
            pending.push_back(root);
        }
    }
    std::set<ObjectId> packsRead;
    const size_t batchSize = MARK_BATCH_PER_LANE * static_cast<size_t>(std::max(repository.lanes(), 1));
    while (!pending.empty()) {
        const size_t count = std::min(batchSize, pending.size());
        const std::vector<ObjectId> batch(pending.end() - static_cast<ptrdiff_t>(count), pending.end());
        pending.resize(pending.size() - count);
        std::vector<Tree> trees(count);
        std::vector<Status> loaded(count);
        Status status = loadTrees(repository, batch, packsRead, trees, loaded);
        if (!status.isOk()) {
            return status;
        }
        for (size_t i = 0; i < count; ++i) {
            if (!loaded[i].isOk()) {
                unreadable(batch[i], loaded[i]);
                continue;
            }
            for (const Node &node : trees[i].nodes) {
                used.data.insert(node.content.begin(), node.content.end());
                if (node.type == NodeType::Dir && used.trees.insert(node.subtree).second) {
                    pending.push_back(node.subtree);
                }
            }
        }
    }
    return Status::ok();
}

Status runPrune(Repository &repository, const std::string &hostname, bool dryRun,
                PruneSummary &summary, const std::function<void(const std::string &)> &progress) {
    const std::function<void(const std::string &)> progressLine =
        progress ? progress : [](const std::string &) {};
    summary = PruneSummary();
    std::unique_ptr<RepositoryLock> lock;
    Status status = RepositoryLock::acquire(repository, true, hostname, lock);
    std::vector<Snapshot> snapshots;
    if (status.isOk()) {
        status = repository.loadIndex();
    }
    if (status.isOk()) {
        status = repository.loadSnapshots(snapshots);
    }
    if (!status.isOk()) {
        return status;
    }
    summary.snapshots = static_cast<int64_t>(snapshots.size());
    progressLine(std::to_string(snapshots.size()) + " snapshots; the index names " +
                 std::to_string(repository.index().blobCount()) + " blobs");

    std::vector<ObjectId> roots;
    for (const Snapshot &snapshot : snapshots) {
        roots.push_back(snapshot.tree);
    }
    UsedBlobs used;
    Status unreadable;
    status = markUsed(repository, roots, used, [&](const ObjectId &, const Status &why) {
        if (unreadable.isOk()) {
            unreadable = why; // names the tree or its pack
        }
    });
    if (!status.isOk() || !(status = unreadable).isOk()) {
        return refusal(status);
    }
    summary.blobsUsed = static_cast<int64_t>(used.trees.size() + used.data.size());
    progressLine(std::to_string(summary.blobsUsed) + " blobs in use (" + std::to_string(used.trees.size()) +
                 " trees)");

    std::map<ObjectId, int64_t> stored;
    if (!(status = listPacks(repository, stored)).isOk()) {
        return status;
    }
    Plan plan;
    if (!(status = planPacks(repository.index(), used, stored, plan, summary)).isOk()) {
        return status;
    }
    progressLine("packs: " + std::to_string(plan.kept.size()) + " kept, " + std::to_string(plan.rewrite.size()) +
                 " to rewrite, " + std::to_string(plan.unused.size()) + " unused, " +
                 std::to_string(plan.leftovers.size()) + " named by no index record" +
                 (plan.absent ? ", " + std::to_string(plan.absent) + " named but not stored (dropped from the index)" : ""));
    if (dryRun || plan.changesNothing()) {
        return Status::ok();
    }

    std::vector<std::string> leftovers;
    for (const auto &leftover : plan.leftovers) {
        leftovers.push_back(dataName(leftover.first));
    }
    if (!(status = lock->confirm()).isOk() || !(status = removeAll(repository, leftovers)).isOk()) {
        return status;
    }
    if (!leftovers.empty()) {
        progressLine("removed " + std::to_string(leftovers.size()) + " packs named by no index record");
    }
    return applyPlan(repository, *lock, plan, summary, progressLine);
}

} // namespace vornengine
