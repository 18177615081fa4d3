// Walking the trees of a snapshot, depth first, in name order.
#ifndef VORN_ENGINE_WALKER_H
#define VORN_ENGINE_WALKER_H

#include <functional>
#include <string>

#include "repository.h"
#include "status.h"
#include "tree.h"

namespace vornengine {

// What a visit asks of the walk next.
enum class Visit { Continue, SkipSubtree };

// Calls visit(relative, node) for every node below the tree `root` ("a/b" paths, parents
// before children). A failed visit, or a tree that cannot be loaded, stops the walk with that
// failure (named by the directory's path).
Status walkTree(Repository &repository, const ObjectId &root,
                const std::function<Status(const std::string &relative, const Node &node, Visit &next)> &visit);

// The node at `path` ("a/b") below the tree `root`; NotFound when there is none.
Status findNode(Repository &repository, const ObjectId &root, const std::string &path, Node &node);

} // namespace vornengine

#endif
