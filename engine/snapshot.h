// Snapshot records: one backup run, naming the root tree of what it saw, and how to find one.
#ifndef VORN_ENGINE_SNAPSHOT_H
#define VORN_ENGINE_SNAPSHOT_H

#include <cstdint>
#include <string>
#include <vector>

#include "object_id.h"
#include "status.h"

namespace vornengine {

// What a backup run did, kept in its snapshot record.
struct BackupSummary {
    int64_t filesNew = 0, filesChanged = 0, filesUnchanged = 0;
    int64_t dirs = 0, others = 0; // directories; links, fifos and devices
    int64_t bytesRead = 0;        // content read from the files
    int64_t bytesAdded = 0;       // stored bytes added to the target (after dedup and compression)
    int64_t blobsAdded = 0;
    int64_t problems = 0;         // entries that could not be saved
    double seconds = 0;
};

struct Snapshot {
    ObjectId id; // the record's name, not part of its text
    int64_t timeNs = 0;
    std::string hostname, username;
    std::vector<std::string> paths; // absolute source directories
    std::vector<std::string> tags;
    ObjectId tree; // the root: one directory node per path
    ObjectId parent;
    BackupSummary summary;
};

std::string encodeSnapshot(const Snapshot &snapshot);
Status decodeSnapshot(const std::string &text, Snapshot &snapshot);

// RFC 3339 in local time with the zone's offset, e.g. "2026-12-07T03:08:38.123456789+01:00".
std::string rfc3339(int64_t timeNs);

// The snapshot `ref` names: "latest" (the newest), a whole id, or a prefix of exactly one id.
// NotFound when none matches; Usage when a prefix matches several.
Status findSnapshot(const std::vector<Snapshot> &snapshots, const std::string &ref,
                    Snapshot &found);

// Newest first, ties broken by id.
void sortNewestFirst(std::vector<Snapshot> &snapshots);

} // namespace vornengine

#endif
