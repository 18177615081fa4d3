#include "walker.h"

namespace vornengine {

namespace {

Status walkBelow(Repository &repository, const ObjectId &tree, const std::string &prefix,
                 const std::function<Status(const std::string &, const Node &, Visit &)> &visit) {
    Tree loaded;
    Status status = repository.loadTree(tree, loaded);
    if (!status.isOk()) {
        return prefix.empty() ? status : status.about(prefix);
    }
    for (const Node &node : loaded.nodes) {
        const std::string relative = prefix.empty() ? node.name : prefix + "/" + node.name;
        Visit next = Visit::Continue;
        if (!(status = visit(relative, node, next)).isOk()) {
            return status;
        }
        if (node.type == NodeType::Dir && next == Visit::Continue &&
            !(status = walkBelow(repository, node.subtree, relative, visit)).isOk()) {
            return status;
        }
    }
    return Status::ok();
}

} // namespace

Status walkTree(Repository &repository, const ObjectId &root,
                const std::function<Status(const std::string &, const Node &, Visit &)> &visit) {
    return walkBelow(repository, root, "", visit);
}

Status findNode(Repository &repository, const ObjectId &root, const std::string &path, Node &node) {
    ObjectId tree = root;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        start = slash == std::string::npos ? path.size() + 1 : slash + 1;
        if (name.empty()) {
            continue;
        }
        if (tree.isNull()) {
            return Status::notFound(path + ": not in the snapshot");
        }
        Tree loaded;
        Status status = repository.loadTree(tree, loaded);
        if (!status.isOk()) {
            return status;
        }
        bool found = false;
        for (const Node &entry : loaded.nodes) {
            if (entry.name == name) {
                node = entry;
                found = true;
                break;
            }
        }
        if (!found) {
            return Status::notFound(path + ": not in the snapshot");
        }
        tree = node.type == NodeType::Dir ? node.subtree : ObjectId();
    }
    return Status::ok();
}

} // namespace vornengine
