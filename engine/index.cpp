#include "index.h"

#include <json/json.h>

#include <mutex>

#include "json_text.h"

namespace vornengine {

void Index::add(const PackContents &pack) {
    std::unique_lock<std::shared_mutex> lock(m_mutex);
    if (m_packNumbers.count(pack.id)) {
        return;
    }
    const uint32_t number = static_cast<uint32_t>(m_packs.size());
    m_packNumbers.emplace(pack.id, number);
    m_packs.push_back(pack);
    for (uint32_t i = 0; i < pack.entries.size(); ++i) {
        m_blobs.emplace(pack.entries[i].id, Slot{number, i});
    }
}

bool Index::has(const ObjectId &blob) const {
    std::shared_lock<std::shared_mutex> lock(m_mutex);
    return m_blobs.count(blob) != 0;
}

bool Index::find(const ObjectId &blob, BlobLocation &where) const {
    std::shared_lock<std::shared_mutex> lock(m_mutex);
    const auto found = m_blobs.find(blob);
    if (found == m_blobs.end()) {
        return false;
    }
    const PackContents &pack = m_packs[found->second.pack];
    where.pack = pack.id;
    where.entry = pack.entries[found->second.entry];
    return true;
}

bool Index::hasPack(const ObjectId &pack) const {
    std::shared_lock<std::shared_mutex> lock(m_mutex);
    return m_packNumbers.count(pack) != 0;
}

std::vector<PackContents> Index::packs() const {
    std::shared_lock<std::shared_mutex> lock(m_mutex);
    return m_packs;
}

size_t Index::blobCount() const {
    std::shared_lock<std::shared_mutex> lock(m_mutex);
    return m_blobs.size();
}

std::string encodeIndexRecord(const std::vector<PackContents> &packs) {
    Json::Value json(Json::objectValue);
    Json::Value &list = json["packs"] = Json::Value(Json::arrayValue);
    for (const PackContents &pack : packs) {
        Json::Value entry(Json::objectValue);
        entry["id"] = pack.id.hex();
        Json::Value &blobs = entry["blobs"] = Json::Value(Json::arrayValue);
        for (const PackEntry &blob : pack.entries) {
            Json::Value item(Json::arrayValue);
            item.append(blob.id.hex());
            item.append(static_cast<int>(blob.type));
            item.append(blob.offset);
            item.append(blob.length);
            item.append(blob.plainLength);
            blobs.append(std::move(item));
        }
        list.append(std::move(entry));
    }
    return jsonText(json);
}

static Status decodeIndexRecordUnchecked(const std::string &text, std::vector<PackContents> &packs) {
    const Status malformed = Status::integrity("malformed index record");
    Json::Value json;
    if (!parseJsonText(text, json) || !json["packs"].isArray()) {
        return malformed;
    }
    for (const Json::Value &entry : json["packs"]) {
        PackContents pack;
        if (!ObjectId::parse(entry["id"].asString(), pack.id) || !entry["blobs"].isArray()) {
            return malformed;
        }
        for (const Json::Value &item : entry["blobs"]) {
            PackEntry blob;
            if (!item.isArray() || item.size() != 5 || !ObjectId::parse(item[0].asString(), blob.id) ||
                item[1].asInt() < 0 || item[1].asInt() > static_cast<int>(BlobType::Tree)) {
                return malformed;
            }
            blob.type = static_cast<BlobType>(item[1].asInt());
            blob.offset = item[2].asUInt();
            blob.length = item[3].asUInt();
            blob.plainLength = item[4].asUInt();
            pack.entries.push_back(blob);
        }
        packs.push_back(std::move(pack));
    }
    return Status::ok();
}

} // namespace vornengine

namespace vornengine {

// JsonCpp throws on a member of the wrong kind; a record from the target may hold anything.
Status decodeIndexRecord(const std::string &text, std::vector<PackContents> &packs) {
    try {
        return decodeIndexRecordUnchecked(text, packs);
    } catch (const Json::Exception &) {
        return Status::integrity("malformed index record");
    }
}

} // namespace vornengine
