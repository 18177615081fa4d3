#include "restore_content.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "parallel.h"
#include "restore_fs.h"
#include "restore_plan.h"

namespace vornengine {

namespace {

// A file waiting for its pieces. Lanes write different pieces at once; the one that settles the
// last piece finishes the file.
struct PendingFile {
    std::once_flag made;
    TempEntry temp;
    Status madeStatus;
    std::atomic<uint32_t> remaining{0};
    std::atomic<bool> failed{false};
};

// Only a store that cannot give anything, for a reason that would hit every other pack as well,
// stops the run; a pack that is missing or damaged fails the files that need it.
bool stopsTheRun(const Status &status) {
    return status.code() == Status::Code::Access || status.code() == Status::Code::Unavailable ||
           status.code() == Status::Code::Interrupted;
}

class ContentWriter {
public:
    ContentWriter(Repository &repository, const std::vector<ContentFile> &files,
                  const ContentEvents &events)
        : m_repository(repository), m_files(files), m_events(events) {
        for (size_t i = 0; i < files.size(); ++i) {
            m_pending.push_back(std::make_unique<PendingFile>());
        }
    }

    Status run() {
        std::vector<const std::vector<ObjectId> *> contents;
        for (const ContentFile &file : m_files) {
            contents.push_back(&file.node->content);
        }
        const ChunkPlan plan = planChunks(contents, m_repository.index());
        for (size_t f = 0; f < m_files.size(); ++f) {
            if (!plan.missing[f].isNull()) {
                m_pending[f]->failed = true;
                failed(f, Status::notFound("missing from the target: chunk " + plan.missing[f].hex()));
            } else if (plan.writes[f] == 0) {
                finish(f); // empty
            } else {
                m_pending[f]->remaining = plan.writes[f];
            }
        }
        return runParallel(
            plan.packs.size(), m_repository.lanes(),
            [&](size_t p) { return restorePack(plan.packs[p]); }, m_repository.cancelHook());
    }

private:
    Status restorePack(const PackWork &work) {
        std::string pack;
        Status loaded = m_repository.loadPack(work.pack, pack);
        if (stopsTheRun(loaded)) {
            return loaded;
        }
        if (loaded.code() == Status::Code::NotFound) {
            loaded = Status::notFound("missing from the target: pack " + work.pack.hex());
        }
        std::string plain;
        for (const BlobWrites &blob : work.blobs) {
            const Status opened = loaded.isOk() ? openBlob(m_repository.codec(), pack, blob.entry, plain) : loaded;
            for (const ChunkWrite &write : blob.writes) {
                Status outcome = opened;
                if (outcome.isOk() && !m_pending[write.file]->failed) {
                    outcome = writePiece(write.file, plain, write.offset);
                }
                settle(write.file, outcome);
            }
        }
        return Status::ok();
    }

    Status writePiece(size_t f, const std::string &plain, int64_t offset) {
        PendingFile &file = *m_pending[f];
        std::call_once(file.made, [&] { file.madeStatus = file.temp.create(m_files[f].path); });
        Status status = file.madeStatus;
        if (status.isOk()) {
            status = writeAt(file.temp.path(), plain.data(), plain.size(), offset);
        }
        if (status.isOk() && m_events.written) {
            m_events.written(static_cast<int64_t>(plain.size()));
        }
        return status;
    }

    // One piece of file `f` is done, well or not; the last one finishes the file.
    void settle(size_t f, const Status &outcome) {
        PendingFile &file = *m_pending[f];
        if (!outcome.isOk() && !file.failed.exchange(true)) {
            failed(f, outcome);
        }
        if (--file.remaining == 0) {
            finish(f);
        }
    }

    // Puts a file whose every piece was written and checked in place, with its metadata; a
    // failed one only loses its temporary file.
    void finish(size_t f) {
        PendingFile &file = *m_pending[f];
        if (file.failed) {
            file.temp.clear();
            return;
        }
        const ContentFile &target = m_files[f];
        std::call_once(file.made, [&] { file.madeStatus = file.temp.create(target.path); });
        Status placed = file.madeStatus;
        // The old file goes only once the new one is safely on disk.
        if (placed.isOk() && target.replacing) {
            placed = syncData(file.temp.path());
        }
        Status metadata;
        if (placed.isOk()) {
            metadata = applyMetadata(file.temp.path(), *target.node);
            placed = file.temp.place(target.path);
        }
        if (!placed.isOk()) {
            file.temp.clear();
            failed(f, placed);
        } else if (m_events.placed) {
            m_events.placed(f, metadata);
        }
    }

    void failed(size_t f, const Status &why) {
        if (m_events.failed) {
            m_events.failed(f, why);
        }
    }

    Repository &m_repository;
    const std::vector<ContentFile> &m_files;
    const ContentEvents &m_events;
    std::vector<std::unique_ptr<PendingFile>> m_pending;
};

} // namespace

Status writeContent(Repository &repository, const std::vector<ContentFile> &files,
                    const ContentEvents &events) {
    return ContentWriter(repository, files, events).run();
}

} // namespace vornengine
