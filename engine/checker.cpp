#include "checker.h"

#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "format.h"
#include "keys.h"
#include "local_file.h"
#include "lock.h"
#include "pack.h"
#include "parallel.h"
#include "prune.h"
#include "snapshot.h"
#include "vorn/backup/scoped_temp_file.h"

namespace vornengine {

namespace {

std::string objectName(const char *dir, const ObjectId &id) {
    return std::string(dir) + "/" + id.hex();
}

std::string hostName() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// The size a pack with these entries has: its blobs, its header as the codec stores it, and
// the header's length.
int64_t packSize(const Codec &codec, const std::vector<PackEntry> &entries) {
    int64_t blobs = 0;
    for (const PackEntry &entry : entries) {
        blobs += entry.length;
    }
    const std::string header(entries.size() * PACK_ENTRY_SIZE, '\0');
    return blobs + static_cast<int64_t>(codec.encode(header.data(), header.size(), false).size()) + 4;
}

bool sameEntries(const std::vector<PackEntry> &a, const std::vector<PackEntry> &b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || a[i].id != b[i].id || a[i].offset != b[i].offset ||
            a[i].length != b[i].length || a[i].plainLength != b[i].plainLength) {
            return false;
        }
    }
    return true;
}

class Checker {
public:
    Checker(Repository &repository, CheckReport &report,
            const std::function<void(const std::string &)> &progressLine)
        : m_repository(repository), m_report(report), m_progressLine(progressLine) {}

    Status run(bool readData) {
        Status status;
        std::vector<ObjectId> roots;
        if (!(status = checkKeys()).isOk() || !(status = checkIndex()).isOk() ||
            !(status = checkSnapshots(roots)).isOk()) {
            return status;
        }
        m_progressLine(std::to_string(m_report.keys) + " key records, " + std::to_string(m_report.indexRecords) +
                       " index records, " + std::to_string(m_report.snapshots) + " snapshots read");
        if (!(status = checkPacks()).isOk() || !(status = checkTrees(roots)).isOk() ||
            (readData && !(status = readPacks()).isOk())) {
            return status;
        }
        m_report.missing.assign(m_missing.begin(), m_missing.end());
        m_report.damaged.assign(m_damaged.begin(), m_damaged.end());
        return Status::ok();
    }

private:
    // Notes a problem with the object `name`: damage or absence is reported, anything else (the
    // target out of reach, refused, cancelled) stops the check.
    Status note(const std::string &name, const Status &problem) {
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (problem.code()) {
        case Status::Code::Ok:
            return problem;
        case Status::Code::Integrity:
            m_damaged.insert(name + ": " + problem.message());
            return Status::ok();
        case Status::Code::NotFound:
            m_missing.insert(name + ": " + problem.message());
            return Status::ok();
        default:
            return problem;
        }
    }

    // The object's stored bytes, read from the target (never a cache) and checked against the
    // name. NotFound when it is gone.
    Status fetch(const char *dir, const ObjectId &id, std::string &stored) {
        VORN::Backup::ScopedTempFile file;
        if (!file.isValid()) {
            return Status::failed("no temporary file for " + objectName(dir, id));
        }
        Status status = m_repository.store().get(objectName(dir, id), file.getPath());
        if (status.isOk()) {
            status = readLocalFile(file.getPath(), stored);
        }
        if (status.isOk() && sha256(stored.data(), stored.size()) != id) {
            return Status::integrity("content does not match its name");
        }
        return status;
    }

    // Reads every record of `dir` in parallel and gives each to `decode`. A record removed
    // since it was listed (by a forget running meanwhile) is no problem.
    Status readRecords(const char *dir, int64_t &count,
                       const std::function<Status(const ObjectId &id, const std::string &stored)> &decode) {
        std::vector<ObjectId> ids;
        Status status = m_repository.listIds(dir, ids);
        if (!status.isOk()) {
            return status;
        }
        count = static_cast<int64_t>(ids.size());
        return runParallel(
            ids.size(), m_repository.lanes(),
            [&](size_t i) {
                std::string stored;
                Status read = fetch(dir, ids[i], stored);
                if (read.code() == Status::Code::NotFound) {
                    return Status::ok();
                }
                if (read.isOk()) {
                    read = decode(ids[i], stored);
                }
                return note(objectName(dir, ids[i]), read);
            },
            m_repository.cancelHook());
    }

    // A record stored through the codec: its plain text.
    Status open(const std::string &stored, std::string &plain) const {
        return m_repository.codec().decode(stored.data(), stored.size(), plain);
    }

    Status checkKeys() {
        return readRecords(KEYS_DIR, m_report.keys, [](const ObjectId &, const std::string &stored) {
            KeyInfo info;
            return describeKeyRecord(stored, info);
        });
    }

    // Fills the repository's index with the records that read well.
    Status checkIndex() {
        std::vector<std::pair<ObjectId, std::vector<PackContents>>> records;
        std::mutex mutex;
        Status status = readRecords(INDEX_DIR, m_report.indexRecords,
                                    [&](const ObjectId &id, const std::string &stored) {
                                        std::string plain;
                                        std::vector<PackContents> packs;
                                        Status read = open(stored, plain);
                                        if (read.isOk() && (read = decodeIndexRecord(plain, packs)).isOk()) {
                                            std::lock_guard<std::mutex> lock(mutex);
                                            records.emplace_back(id, std::move(packs));
                                        }
                                        return read;
                                    });
        for (const auto &record : records) {
            for (const PackContents &pack : record.second) {
                m_repository.index().add(pack);
                m_namedBy.emplace(pack.id, record.first);
            }
        }
        return status;
    }

    Status checkSnapshots(std::vector<ObjectId> &roots) {
        std::mutex mutex;
        return readRecords(SNAPSHOTS_DIR, m_report.snapshots,
                           [&](const ObjectId &, const std::string &stored) {
                               std::string plain;
                               Snapshot snapshot;
                               Status read = open(stored, plain);
                               if (read.isOk() && (read = decodeSnapshot(plain, snapshot)).isOk()) {
                                   std::lock_guard<std::mutex> lock(mutex);
                                   roots.push_back(snapshot.tree);
                               }
                               return read;
                           });
    }

    std::string namedBy(const ObjectId &pack) const {
        const auto found = m_namedBy.find(pack);
        return found == m_namedBy.end() ? std::string("the index") : objectName(INDEX_DIR, found->second);
    }

    // Every pack the index names is stored, with the size its entries imply.
    Status checkPacks() {
        Status status = listPacks(m_repository, m_stored);
        if (!status.isOk()) {
            return status;
        }
        for (const PackContents &pack : m_repository.index().packs()) {
            m_indexed.emplace(pack.id, pack.entries);
            const auto found = m_stored.find(pack.id);
            if (found == m_stored.end()) {
                note(objectName(DATA_DIR, pack.id), Status::notFound("named by " + namedBy(pack.id) + ", not in the target"));
                continue;
            }
            const int64_t expected = packSize(m_repository.codec(), pack.entries);
            if (found->second != expected) {
                note(objectName(DATA_DIR, pack.id),
                     Status::integrity(std::to_string(found->second) + " bytes where " + namedBy(pack.id) +
                                       " implies " + std::to_string(expected)));
            }
        }
        m_report.packs = static_cast<int64_t>(m_stored.size());
        for (const auto &file : m_stored) {
            m_report.unreferencedPacks += m_indexed.count(file.first) == 0;
        }
        m_progressLine(std::to_string(m_indexed.size()) + " packs the index names, " +
                       std::to_string(m_report.unreferencedPacks) + " more named by none (prune removes them)");
        return Status::ok();
    }

    // A tree that could not be loaded, reported against the object at fault.
    Status treeProblem(const ObjectId &tree, const Status &why) {
        BlobLocation where;
        if (!m_repository.index().find(tree, where) || where.entry.type != BlobType::Tree) {
            return note("tree " + tree.hex(), Status::notFound("needed by a snapshot, in no pack the index names"));
        }
        const std::string pack = objectName(DATA_DIR, where.pack);
        if (!m_stored.count(where.pack)) {
            return Status::ok(); // reported with the pack
        }
        if (why.code() != Status::Code::Integrity) {
            return note(pack, why);
        }
        std::string message = why.message();
        if (message.compare(0, pack.size() + 2, pack + ": ") == 0) {
            message.erase(0, pack.size() + 2);
        }
        return note(pack, Status::integrity(message));
    }

    Status checkTrees(const std::vector<ObjectId> &roots) {
        UsedBlobs used;
        Status stopped;
        Status status = markUsed(m_repository, roots, used, [&](const ObjectId &tree, const Status &why) {
            const Status noted = treeProblem(tree, why);
            if (!noted.isOk() && stopped.isOk()) {
                stopped = noted;
            }
        });
        if (!status.isOk() || !(status = stopped).isOk()) {
            return status;
        }
        for (const ObjectId &chunk : used.data) {
            BlobLocation where;
            if (!m_repository.index().find(chunk, where) || where.entry.type != BlobType::Data) {
                note("chunk " + chunk.hex(), Status::notFound("needed by a snapshot, in no pack the index names"));
            }
        }
        m_report.trees = static_cast<int64_t>(used.trees.size());
        m_report.chunks = static_cast<int64_t>(used.data.size());
        m_progressLine("the snapshots need " + std::to_string(m_report.trees) + " trees and " +
                       std::to_string(m_report.chunks) + " chunks");
        return Status::ok();
    }

    Status readPack(const ObjectId &id) {
        const std::string name = objectName(DATA_DIR, id);
        std::string bytes;
        Status status = fetch(DATA_DIR, id, bytes);
        if (status.code() == Status::Code::NotFound) {
            return note(name, Status::notFound("named by " + namedBy(id) + ", not in the target"));
        }
        if (status.code() != Status::Code::Integrity && !status.isOk()) {
            return status;
        }
        m_bytesRead += static_cast<int64_t>(bytes.size());
        // Damage is only noted, never fatal: a pack that does not match its name is still
        // opened, to tell which of its blobs are hurt.
        note(name, status);
        std::vector<PackEntry> entries;
        const Status header = readPackHeader(m_repository.codec(), bytes, entries);
        if (!header.isOk()) {
            return note(name, header.about("header"));
        }
        for (const PackEntry &entry : entries) {
            std::string plain;
            note(name, openBlob(m_repository.codec(), bytes, entry, plain));
        }
        if (!sameEntries(m_indexed.at(id), entries)) {
            note(name, Status::integrity("its header and " + namedBy(id) + " disagree"));
        }
        return Status::ok();
    }

    // The packs the index names: nothing reads the others, and prune removes them.
    Status readPacks() {
        std::vector<ObjectId> ids;
        for (const auto &file : m_stored) {
            if (m_indexed.count(file.first)) {
                ids.push_back(file.first);
            }
        }
        Status status = runParallel(
            ids.size(), m_repository.lanes(), [&](size_t i) { return readPack(ids[i]); },
            m_repository.cancelHook());
        m_report.bytesRead = m_bytesRead;
        if (status.isOk()) {
            m_progressLine("read " + std::to_string(ids.size()) + " packs, " + std::to_string(m_report.bytesRead) +
                           " bytes");
        }
        return status;
    }

    Repository &m_repository;
    CheckReport &m_report;
    const std::function<void(const std::string &)> m_progressLine;
    std::mutex m_mutex;
    std::set<std::string> m_missing, m_damaged;
    std::map<ObjectId, ObjectId> m_namedBy;                 // pack -> the index record naming it
    std::map<ObjectId, std::vector<PackEntry>> m_indexed;   // pack -> its entries in the index
    std::map<ObjectId, int64_t> m_stored;                   // data/ as listed, with sizes
    std::atomic<int64_t> m_bytesRead{0};
};

} // namespace

Status runCheck(Repository &repository, bool readData, CheckReport &report,
                const std::function<void(const std::string &)> &progressLine) {
    report = CheckReport();
    std::unique_ptr<RepositoryLock> lock;
    Status status = RepositoryLock::acquire(repository, false, hostName(), lock);
    if (!status.isOk()) {
        return status;
    }
    Checker checker(repository, report, progressLine ? progressLine : [](const std::string &) {});
    return checker.run(readData);
}

} // namespace vornengine
