#include "restore_plan.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace vornengine {

bool placeInTarget(const std::string &selected, const std::string &below, std::string &placed) {
    const std::string name = selected.substr(selected.rfind('/') + 1);
    placed = name.empty() ? below : below.empty() ? name : name + "/" + below;
    if (placed.empty()) {
        return false;
    }
    for (size_t start = 0; start <= placed.size();) {
        const size_t slash = std::min(placed.find('/', start), placed.size());
        if (!isSafeName(placed.substr(start, slash - start))) {
            return false;
        }
        start = slash + 1;
    }
    return true;
}

RestoreAction decideAction(Overwrite overwrite, const struct stat *existing, const Node &node) {
    if (!existing) {
        return RestoreAction::Create;
    }
    if (overwrite == Overwrite::Never) {
        return RestoreAction::Skip;
    }
    if (node.type == NodeType::Dir) {
        return RestoreAction::Replace;
    }
    if (S_ISDIR(existing->st_mode)) {
        return RestoreAction::Blocked;
    }
    if (overwrite == Overwrite::IfChanged && node.type == NodeType::File &&
        S_ISREG(existing->st_mode) && existing->st_size == node.size &&
        existing->st_mtim.tv_sec * 1000000000LL + existing->st_mtim.tv_nsec == node.mtimeNs) {
        return RestoreAction::Skip;
    }
    return RestoreAction::Replace;
}

ChunkPlan planChunks(const std::vector<const std::vector<ObjectId> *> &files, const Index &index) {
    ChunkPlan plan;
    plan.writes.assign(files.size(), 0);
    plan.missing.assign(files.size(), ObjectId());
    std::unordered_map<ObjectId, size_t, ObjectIdHash> packSlots;
    // Where a blob already planned sits: its pack's slot and its place in that pack's list.
    std::unordered_map<ObjectId, std::pair<size_t, size_t>, ObjectIdHash> blobSlots;
    std::vector<BlobLocation> located;
    for (uint32_t file = 0; file < files.size(); ++file) {
        located.clear();
        for (const ObjectId &chunk : *files[file]) {
            BlobLocation where;
            if (!index.find(chunk, where)) {
                plan.missing[file] = chunk;
                break;
            }
            located.push_back(where);
        }
        if (!plan.missing[file].isNull()) {
            continue;
        }
        int64_t offset = 0;
        for (const BlobLocation &where : located) {
            auto blob = blobSlots.emplace(where.entry.id, std::make_pair(size_t(0), size_t(0)));
            if (blob.second) {
                const auto pack = packSlots.emplace(where.pack, plan.packs.size());
                if (pack.second) {
                    plan.packs.push_back(PackWork{where.pack, {}});
                }
                std::vector<BlobWrites> &blobs = plan.packs[pack.first->second].blobs;
                blob.first->second = {pack.first->second, blobs.size()};
                blobs.push_back(BlobWrites{where.entry, {}});
            }
            const auto [packSlot, blobSlot] = blob.first->second;
            plan.packs[packSlot].blobs[blobSlot].writes.push_back(ChunkWrite{file, offset});
            offset += where.entry.plainLength;
            ++plan.writes[file];
        }
    }
    for (PackWork &pack : plan.packs) {
        std::sort(pack.blobs.begin(), pack.blobs.end(), [](const BlobWrites &a, const BlobWrites &b) {
            return a.entry.offset < b.entry.offset;
        });
    }
    return plan;
}

} // namespace vornengine
