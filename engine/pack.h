// Packs: many stored blobs in one object, so that small files cost few requests.
#ifndef VORN_ENGINE_PACK_H
#define VORN_ENGINE_PACK_H

#include <cstdint>
#include <string>
#include <vector>

#include "codec.h"
#include "format.h"
#include "object_id.h"
#include "status.h"

namespace vornengine {

// Where one blob lies in its pack.
struct PackEntry {
    BlobType type = BlobType::Data;
    ObjectId id;
    uint32_t offset = 0;
    uint32_t length = 0;      // stored bytes
    uint32_t plainLength = 0; // bytes once decoded
};

// Collects stored blobs and closes them into a pack: the blobs, then their header (stored
// through the codec, so an encrypted target hides it), then the header's length.
class PackBuilder {
public:
    void add(BlobType type, const ObjectId &id, const std::string &stored, uint32_t plainLength);
    bool empty() const { return m_entries.empty(); }
    size_t size() const { return m_bytes.size(); }

    // The whole pack; the builder is empty afterwards.
    std::string finish(const Codec &codec, std::vector<PackEntry> &entries);

private:
    std::string m_bytes;
    std::vector<PackEntry> m_entries;
};

// The entries a pack's own header lists; Integrity when it cannot be read.
Status readPackHeader(const Codec &codec, const std::string &pack, std::vector<PackEntry> &entries);

// Decodes the blob `entry` of `pack` and checks that its content has the id it is stored under.
Status openBlob(const Codec &codec, const std::string &pack, const PackEntry &entry,
                std::string &plain);

} // namespace vornengine

#endif
