#include "backup.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "format.h"
#include "lock.h"
#include "packer.h"

namespace vornengine {

namespace {

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

const Snapshot *findParent(const std::vector<Snapshot> &snapshots, const std::string &hostname,
                           const std::vector<std::string> &paths) {
    const Snapshot *parent = nullptr;
    for (const Snapshot &snapshot : snapshots) {
        if (snapshot.hostname == hostname && snapshot.paths == paths &&
            (!parent || snapshot.timeNs > parent->timeNs)) {
            parent = &snapshot;
        }
    }
    return parent;
}

Status runBackup(Repository &repository, const BackupRequest &request,
                 const BackupObserver &observer, Snapshot &snapshot) {
    struct stat info;
    if (stat(request.source.c_str(), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR
                   ? Status::notFound(request.source + ": no such directory")
                   : Status::failed(request.source + ": " + strerror(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        return Status::notFound(request.source + ": not a directory");
    }
    const auto started = std::chrono::steady_clock::now();
    std::unique_ptr<RepositoryLock> lock;
    Status status = RepositoryLock::acquire(repository, false, request.hostname, lock);
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
    snapshot = Snapshot();
    snapshot.timeNs = nowNs();
    snapshot.hostname = request.hostname;
    snapshot.username = request.username;
    snapshot.paths = {request.source};
    snapshot.tags = request.tags;
    const Snapshot *parent = findParent(snapshots, request.hostname, snapshot.paths);
    if (parent) {
        snapshot.parent = parent->id;
    }

    Packer packer(repository);
    Archiver archiver(repository, packer, request.excluded, observer);
    status = archiver.saveDir(request.source, "", parent ? parent->tree : ObjectId(), snapshot.tree);
    if (status.code() == Status::Code::Failed && packer.status().isOk()) {
        status = status.about(request.source);
    }
    // Stored packs are named in the index even when the run stops, so nothing goes twice.
    const Status finished = packer.finish();
    if (status.isOk()) {
        status = finished;
    }
    if (status.isOk()) {
        status = lock->confirm();
    }
    if (!status.isOk()) {
        return status;
    }
    snapshot.summary = archiver.summary();
    snapshot.summary.bytesAdded = packer.bytesAdded();
    snapshot.summary.blobsAdded = packer.blobsAdded();
    snapshot.summary.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return repository.saveRecord(SNAPSHOTS_DIR, encodeSnapshot(snapshot), snapshot.id);
}

} // namespace vornengine
