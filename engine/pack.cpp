#include "pack.h"

#include <cstring>

namespace vornengine {

namespace {

void putU32(std::string &out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>(value >> (8 * i) & 0xff);
    }
}

uint32_t getU32(const char *p) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(p[i]);
    }
    return value;
}

} // namespace

void PackBuilder::add(BlobType type, const ObjectId &id, const std::string &stored,
                      uint32_t plainLength) {
    PackEntry entry;
    entry.type = type;
    entry.id = id;
    entry.offset = static_cast<uint32_t>(m_bytes.size());
    entry.length = static_cast<uint32_t>(stored.size());
    entry.plainLength = plainLength;
    m_bytes += stored;
    m_entries.push_back(entry);
}

std::string PackBuilder::finish(const Codec &codec, std::vector<PackEntry> &entries) {
    std::string header;
    header.reserve(m_entries.size() * PACK_ENTRY_SIZE);
    for (const PackEntry &entry : m_entries) {
        header += static_cast<char>(entry.type);
        header.append(reinterpret_cast<const char *>(entry.id.bytes().data()), 32);
        putU32(header, entry.length);
        putU32(header, entry.plainLength);
    }
    const std::string stored = codec.encode(header.data(), header.size(), false);
    std::string pack = std::move(m_bytes);
    pack += stored;
    putU32(pack, static_cast<uint32_t>(stored.size()));
    entries = std::move(m_entries);
    m_bytes.clear();
    m_entries.clear();
    return pack;
}

Status readPackHeader(const Codec &codec, const std::string &pack, std::vector<PackEntry> &entries) {
    const Status malformed = Status::integrity("malformed pack header");
    if (pack.size() < 4) {
        return malformed;
    }
    const uint32_t storedLength = getU32(pack.data() + pack.size() - 4);
    if (storedLength > pack.size() - 4) {
        return malformed;
    }
    const size_t headerStart = pack.size() - 4 - storedLength;
    std::string header;
    const Status decoded = codec.decode(pack.data() + headerStart, storedLength, header);
    if (!decoded.isOk()) {
        return decoded;
    }
    if (header.size() % PACK_ENTRY_SIZE) {
        return malformed;
    }
    entries.clear();
    uint64_t offset = 0;
    for (size_t at = 0; at < header.size(); at += PACK_ENTRY_SIZE) {
        const char *p = header.data() + at;
        PackEntry entry;
        if (static_cast<uint8_t>(p[0]) > static_cast<uint8_t>(BlobType::Tree)) {
            return malformed;
        }
        entry.type = static_cast<BlobType>(p[0]);
        entry.id = ObjectId::fromBytes(reinterpret_cast<const uint8_t *>(p + 1));
        entry.offset = static_cast<uint32_t>(offset);
        entry.length = getU32(p + 33);
        entry.plainLength = getU32(p + 37);
        offset += entry.length;
        if (offset > headerStart) {
            return malformed;
        }
        entries.push_back(entry);
    }
    return Status::ok();
}

Status openBlob(const Codec &codec, const std::string &pack, const PackEntry &entry,
                std::string &plain) {
    const std::string name = "blob " + entry.id.hex();
    if (uint64_t(entry.offset) + entry.length > pack.size()) {
        return Status::integrity("lies beyond the end of its pack").about(name);
    }
    Status status = codec.decode(pack.data() + entry.offset, entry.length, plain);
    if (!status.isOk()) {
        return status.about(name);
    }
    if (plain.size() != entry.plainLength || codec.contentId(plain.data(), plain.size()) != entry.id) {
        return Status::integrity("content does not match its id").about(name);
    }
    return Status::ok();
}

} // namespace vornengine
