#include "packer.h"

#include <algorithm>

namespace vornengine {

namespace {

// Plain bytes waiting for an encoder: enough to keep every core busy, little memory.
const size_t QUEUE_LIMIT = 32u << 20;

int encoderCount() {
    return std::max(1u, std::thread::hardware_concurrency());
}

} // namespace

Packer::Packer(Repository &repository) : m_repository(repository) {
    for (int i = 0; i < encoderCount(); ++i) {
        m_threads.emplace_back(&Packer::encodeLoop, this);
    }
    for (int i = 0; i < repository.lanes(); ++i) {
        m_threads.emplace_back(&Packer::uploadLoop, this);
    }
}

Packer::~Packer() {
    stopThreads();
}

void Packer::stopThreads() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    for (std::thread &thread : m_threads) {
        thread.join();
    }
    m_threads.clear();
}

bool Packer::save(BlobType type, const ObjectId &id, std::string &&plain) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_failure.isOk() || m_pending.count(id) || m_repository.index().has(id)) {
        return false;
    }
    m_pending.insert(id);
    m_changed.wait(lock, [this] { return m_queuedBytes < QUEUE_LIMIT || !m_failure.isOk(); });
    m_queuedBytes += plain.size();
    m_jobs.push_back(Job{type, id, std::move(plain)});
    m_changed.notify_all();
    return true;
}

void Packer::encodeLoop() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping) {
                return;
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
            ++m_encoding;
        }
        if (status().isOk()) {
            addEncoded(job, m_repository.codec().encode(job.plain.data(), job.plain.size()));
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queuedBytes -= job.plain.size();
            --m_encoding;
        }
        m_changed.notify_all();
    }
}

void Packer::addEncoded(const Job &job, const std::string &stored) {
    Builder &builder = m_builders[static_cast<size_t>(job.type)];
    std::lock_guard<std::mutex> lock(builder.mutex);
    builder.pack.add(job.type, job.id, stored, static_cast<uint32_t>(job.plain.size()));
    if (builder.pack.size() >= PACK_SIZE) {
        closePack(builder);
    }
}

// Called with the builder's mutex held.
void Packer::closePack(Builder &builder) {
    PackContents contents;
    std::string bytes = builder.pack.finish(m_repository.codec(), contents.entries);
    std::unique_lock<std::mutex> lock(m_mutex);
    // One pack waiting per lane keeps the lanes busy and memory bounded.
    m_changed.wait(lock, [this] {
        return m_packs.size() < static_cast<size_t>(m_repository.lanes()) || !m_failure.isOk() ||
               m_stopping;
    });
    if (!m_failure.isOk() || m_stopping) {
        return;
    }
    m_packs.push_back(std::move(bytes));
    m_packEntries.push_back(std::move(contents.entries));
    m_changed.notify_all();
}

void Packer::uploadLoop() {
    for (;;) {
        std::string bytes;
        PackContents pack;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || !m_packs.empty(); });
            if (m_stopping) { // finished, or abandoned: nothing left worth storing
                return;
            }
            bytes = std::move(m_packs.front());
            pack.entries = std::move(m_packEntries.front());
            m_packs.pop_front();
            m_packEntries.pop_front();
            ++m_uploading;
        }
        if (status().isOk()) {
            Status saved = m_repository.savePack(bytes, pack.id);
            if (saved.isOk()) {
                if (!pack.entries.empty() && pack.entries.front().type == BlobType::Tree) {
                    m_repository.cacheTreePack(pack.id, bytes);
                }
                stored(pack, bytes.size());
            } else {
                fail(saved);
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_uploading;
        }
        m_changed.notify_all();
    }
}

void Packer::stored(const PackContents &pack, size_t bytes) {
    m_repository.index().add(pack);
    bool flush;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytesAdded += static_cast<int64_t>(bytes);
        m_blobsAdded += static_cast<int64_t>(pack.entries.size());
        for (const PackEntry &entry : pack.entries) {
            m_pending.erase(entry.id);
        }
        m_unindexed.push_back(pack);
        flush = m_unindexed.size() >= PACKS_PER_INDEX_FLUSH;
    }
    if (flush) {
        Status status = flushIndex(false);
        if (!status.isOk()) {
            fail(status);
        }
    }
}

Status Packer::flushIndex(bool all) {
    std::lock_guard<std::mutex> writing(m_indexMutex);
    std::vector<PackContents> packs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unindexed.empty() || (!all && m_unindexed.size() < PACKS_PER_INDEX_FLUSH)) {
            return Status::ok();
        }
        packs.swap(m_unindexed);
    }
    ObjectId id;
    Status status = m_repository.saveRecord(INDEX_DIR, encodeIndexRecord(packs), id);
    if (!status.isOk()) { // named by the next record written, if any is
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unindexed.insert(m_unindexed.end(), packs.begin(), packs.end());
    }
    return status;
}

void Packer::fail(const Status &status) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failure.isOk()) {
            m_failure = status;
        }
    }
    m_changed.notify_all();
}

Status Packer::finish() {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return (m_jobs.empty() && m_encoding == 0) || !m_failure.isOk(); });
    }
    for (Builder &builder : m_builders) {
        std::lock_guard<std::mutex> lock(builder.mutex);
        if (!builder.pack.empty()) {
            closePack(builder);
        }
    }
    {
        // After a failure the upload threads drop what waits; uploads under way still end, and
        // what they stored is named below, so the next run does not send it again.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_packs.empty() && m_uploading == 0; });
    }
    const Status indexed = flushIndex(true);
    const Status failure = status();
    return failure.isOk() ? indexed : failure;
}

Status Packer::status() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

int64_t Packer::bytesAdded() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytesAdded;
}

int64_t Packer::blobsAdded() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blobsAdded;
}

} // namespace vornengine
