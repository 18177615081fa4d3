#include "tree.h"

#include <json/json.h>

#include <memory>

#include "json_text.h"

namespace vornengine {

namespace {

const char *const TYPE_NAMES[] = {"file", "dir", "symlink", "fifo", "chardev", "blockdev", "socket"};

bool parseType(const std::string &text, NodeType &type) {
    for (size_t i = 0; i < sizeof TYPE_NAMES / sizeof *TYPE_NAMES; ++i) {
        if (text == TYPE_NAMES[i]) {
            type = static_cast<NodeType>(i);
            return true;
        }
    }
    return false;
}

Json::Value encodeNode(const Node &node) {
    Json::Value json(Json::objectValue);
    putBytes(json, "name", node.name);
    json["type"] = nodeTypeName(node.type);
    json["mode"] = node.mode;
    json["uid"] = node.uid;
    json["gid"] = node.gid;
    if (!node.user.empty()) {
        json["user"] = node.user;
    }
    if (!node.group.empty()) {
        json["group"] = node.group;
    }
    json["mtime_ns"] = Json::Int64(node.mtimeNs);
    json["device"] = Json::UInt64(node.device);
    json["inode"] = Json::UInt64(node.inode);
    json["links"] = node.links;
    switch (node.type) {
    case NodeType::File: {
        json["size"] = Json::Int64(node.size);
        Json::Value &content = json["content"] = Json::Value(Json::arrayValue);
        for (const ObjectId &id : node.content) {
            content.append(id.hex());
        }
        break;
    }
    case NodeType::Dir:
        json["subtree"] = node.subtree.hex();
        break;
    case NodeType::Symlink:
        putBytes(json, "target", node.linkTarget);
        break;
    case NodeType::CharDevice:
    case NodeType::BlockDevice:
        json["rdev"] = Json::UInt64(node.rdev);
        break;
    default:
        break;
    }
    if (!node.xattrs.empty()) {
        Json::Value &xattrs = json["xattrs"] = Json::Value(Json::objectValue);
        for (const auto &[name, value] : node.xattrs) {
            xattrs[name] = hexOf(value);
        }
    }
    return json;
}

bool decodeNode(const Json::Value &json, Node &node) {
    if (!json.isObject() || !getBytes(json, "name", node.name) ||
        !parseType(json["type"].asString(), node.type)) {
        return false;
    }
    node.mode = json["mode"].asUInt();
    node.uid = json["uid"].asUInt();
    node.gid = json["gid"].asUInt();
    node.user = json["user"].asString();
    node.group = json["group"].asString();
    node.mtimeNs = json["mtime_ns"].asInt64();
    node.device = json["device"].asUInt64();
    node.inode = json["inode"].asUInt64();
    node.links = json["links"].asUInt();
    node.size = json["size"].asInt64();
    node.rdev = json["rdev"].asUInt64();
    if (node.type == NodeType::Symlink && !getBytes(json, "target", node.linkTarget)) {
        return false;
    }
    for (const Json::Value &id : json["content"]) {
        ObjectId chunk;
        if (!ObjectId::parse(id.asString(), chunk)) {
            return false;
        }
        node.content.push_back(chunk);
    }
    if (node.type == NodeType::Dir && !ObjectId::parse(json["subtree"].asString(), node.subtree)) {
        return false;
    }
    const Json::Value &xattrs = json["xattrs"];
    for (auto it = xattrs.begin(); it != xattrs.end(); ++it) {
        std::string value;
        if (!bytesOfHex(it->asString(), value)) {
            return false;
        }
        node.xattrs[it.name()] = value;
    }
    return true;
}

} // namespace

const char *nodeTypeName(NodeType type) {
    return TYPE_NAMES[static_cast<size_t>(type)];
}

std::string encodeTree(const Tree &tree) {
    Json::Value json(Json::objectValue);
    Json::Value &nodes = json["nodes"] = Json::Value(Json::arrayValue);
    for (const Node &node : tree.nodes) {
        nodes.append(encodeNode(node));
    }
    return jsonText(json);
}

static Status decodeTreeUnchecked(const std::string &text, Tree &tree) {
    Json::Value json;
    if (!parseJsonText(text, json) || !json["nodes"].isArray()) {
        return Status::integrity("malformed tree record");
    }
    tree.nodes.clear();
    tree.nodes.reserve(json["nodes"].size());
    for (const Json::Value &entry : json["nodes"]) {
        Node node;
        if (!decodeNode(entry, node)) {
            return Status::integrity("malformed tree record");
        }
        tree.nodes.push_back(std::move(node));
    }
    return Status::ok();
}

bool isSafeName(const std::string &name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

} // namespace vornengine

namespace vornengine {

// JsonCpp throws on a member of the wrong kind; a record from the target may hold anything.
Status decodeTree(const std::string &text, Tree &tree) {
    try {
        return decodeTreeUnchecked(text, tree);
    } catch (const Json::Exception &) {
        return Status::integrity("malformed tree record");
    }
}

} // namespace vornengine
