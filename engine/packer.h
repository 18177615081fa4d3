// Packer: stores blobs once each. Known blobs are skipped; new ones are encoded on worker
// threads, gathered into packs, and the packs uploaded in parallel and named in index records.
#ifndef VORN_ENGINE_PACKER_H
#define VORN_ENGINE_PACKER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "format.h"
#include "object_id.h"
#include "pack.h"
#include "repository.h"
#include "status.h"

namespace vornengine {

class Packer {
public:
    explicit Packer(Repository &repository);
    // Stops the threads; blobs not yet stored are dropped (a finished Packer has none).
    ~Packer();

    // Queues the blob unless the index or this run has it already; true when it was new.
    // Blocks while too much is queued. After a failure, returns at once (see status()).
    bool save(BlobType type, const ObjectId &id, std::string &&plain);

    // Stores what is queued, then names every pack this run stored in index records (after a
    // failure too, so the next run reuses them). Ok only when every blob given to save() is now
    // in a stored pack named by a stored index record.
    Status finish();

    // The first failure of a worker, or ok.
    Status status() const;
    int64_t bytesAdded() const;
    int64_t blobsAdded() const;

private:
    struct Job {
        BlobType type;
        ObjectId id;
        std::string plain;
    };
    struct Builder {
        PackBuilder pack;
        std::mutex mutex;
    };

    void encodeLoop();
    void uploadLoop();
    void addEncoded(const Job &job, const std::string &stored);
    void closePack(Builder &builder);
    void stored(const PackContents &pack, size_t bytes);
    Status flushIndex(bool all);
    void fail(const Status &status);
    void stopThreads();

    Repository &m_repository;
    Builder m_builders[2]; // by BlobType

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    size_t m_queuedBytes = 0;
    int m_encoding = 0;
    std::deque<std::string> m_packs; // closed, waiting for an upload lane
    std::deque<std::vector<PackEntry>> m_packEntries; // their entries
    int m_uploading = 0;
    bool m_stopping = false;
    std::unordered_set<ObjectId, ObjectIdHash> m_pending;
    std::vector<PackContents> m_unindexed;
    Status m_failure;
    int64_t m_bytesAdded = 0;
    int64_t m_blobsAdded = 0;

    std::mutex m_indexMutex; // one index record written at a time
    std::vector<std::thread> m_threads;
};

} // namespace vornengine

#endif
