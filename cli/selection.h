// Which paths of a tree a command takes (--include / --exclude), and names fit for a report line.
#ifndef VORN_CLI_SELECTION_H
#define VORN_CLI_SELECTION_H

#include <string>
#include <vector>

namespace vorncli {

// --include / --exclude patterns (fnmatch). A pattern with a "/" matches the whole relative
// path, one without matches the last name. Without includes every path is included; an
// excluded directory is left out with everything below it; includes choose files only.
struct Selection {
    std::vector<std::string> include;
    std::vector<std::string> exclude;

    bool selects(const std::string &relative) const;
    bool excludes(const std::string &relative) const;
    // What a tree walk leaves out: excluded paths, and files no include names.
    bool leavesOut(const std::string &relative, bool isDir) const;
};

// `name` fit for one report line: control and non-UTF-8 bytes as \xNN.
std::string printableName(const std::string &name);

} // namespace vorncli

#endif
