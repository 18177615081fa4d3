// Index: which pack holds each blob, and where, for every pack the target's index records name.
#ifndef VORN_ENGINE_INDEX_H
#define VORN_ENGINE_INDEX_H

#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "object_id.h"
#include "pack.h"
#include "status.h"

namespace vornengine {

// One pack and the blobs it holds, as an index record names them.
struct PackContents {
    ObjectId id;
    std::vector<PackEntry> entries;
};

struct BlobLocation {
    ObjectId pack;
    PackEntry entry;
};

// Safe to read from several threads while one adds.
class Index {
public:
    // Adds a pack; a pack already known, or a blob already found in another pack, keeps its
    // first location.
    void add(const PackContents &pack);
    bool has(const ObjectId &blob) const;
    bool find(const ObjectId &blob, BlobLocation &where) const;
    bool hasPack(const ObjectId &pack) const;
    // Every pack, in the order they were added.
    std::vector<PackContents> packs() const;
    size_t blobCount() const;

private:
    struct Slot {
        uint32_t pack;
        uint32_t entry;
    };

    mutable std::shared_mutex m_mutex;
    std::vector<PackContents> m_packs;
    std::unordered_map<ObjectId, uint32_t, ObjectIdHash> m_packNumbers;
    std::unordered_map<ObjectId, Slot, ObjectIdHash> m_blobs;
};

// An index record's plain text, and back.
std::string encodeIndexRecord(const std::vector<PackContents> &packs);
Status decodeIndexRecord(const std::string &text, std::vector<PackContents> &packs);

} // namespace vornengine

#endif
