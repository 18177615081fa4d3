#include "diff.h"

#include "walker.h"

namespace vornengine {

namespace {

std::string join(const std::string &prefix, const std::string &name) {
    return prefix.empty() ? name : prefix + "/" + name;
}

bool sameContent(const Node &a, const Node &b) {
    return a.size == b.size && a.content == b.content && a.linkTarget == b.linkTarget && a.rdev == b.rdev;
}

bool sameMetadata(const Node &a, const Node &b) {
    return a.mode == b.mode && a.uid == b.uid && a.gid == b.gid && a.user == b.user &&
           a.group == b.group && a.mtimeNs == b.mtimeNs && a.xattrs == b.xattrs;
}

class Differ {
public:
    Differ(Repository &repository, std::vector<DiffEntry> &entries)
        : m_repository(repository), m_entries(entries) {}

    Status compareTrees(const ObjectId &before, const ObjectId &after, const std::string &prefix) {
        if (before == after) {
            return Status::ok();
        }
        Tree a, b;
        Status status = load(before, a);
        if (status.isOk()) {
            status = load(after, b);
        }
        size_t i = 0, j = 0;
        while (status.isOk() && (i < a.nodes.size() || j < b.nodes.size())) {
            if (j == b.nodes.size() || (i < a.nodes.size() && a.nodes[i].name < b.nodes[j].name)) {
                status = listAll('-', a.nodes[i], join(prefix, a.nodes[i].name));
                ++i;
            } else if (i == a.nodes.size() || b.nodes[j].name < a.nodes[i].name) {
                status = listAll('+', b.nodes[j], join(prefix, b.nodes[j].name));
                ++j;
            } else {
                status = compareNodes(a.nodes[i], b.nodes[j], join(prefix, a.nodes[i].name));
                ++i;
                ++j;
            }
        }
        return status;
    }

private:
    Status load(const ObjectId &id, Tree &tree) {
        return id.isNull() ? Status::ok() : m_repository.loadTree(id, tree);
    }

    Status compareNodes(const Node &a, const Node &b, const std::string &path) {
        if (a.type != b.type) {
            m_entries.push_back({'T', path});
            Status status = below('-', a, path);
            return status.isOk() ? below('+', b, path) : status;
        }
        if (!sameContent(a, b)) {
            m_entries.push_back({'M', path});
        } else if (!sameMetadata(a, b)) {
            m_entries.push_back({'m', path});
        }
        return a.type == NodeType::Dir ? compareTrees(a.subtree, b.subtree, path) : Status::ok();
    }

    // The node and everything below it.
    Status listAll(char kind, const Node &node, const std::string &path) {
        m_entries.push_back({kind, path});
        return below(kind, node, path);
    }

    Status below(char kind, const Node &node, const std::string &path) {
        if (node.type != NodeType::Dir) {
            return Status::ok();
        }
        return walkTree(m_repository, node.subtree, [&](const std::string &relative, const Node &, Visit &) {
            m_entries.push_back({kind, join(path, relative)});
            return Status::ok();
        });
    }

    Repository &m_repository;
    std::vector<DiffEntry> &m_entries;
};

} // namespace

Status diffSnapshots(Repository &repository, const Snapshot &a, const Snapshot &b,
                     std::vector<DiffEntry> &entries) {
    entries.clear();
    return Differ(repository, entries).compareTrees(a.tree, b.tree, "");
}

} // namespace vornengine
