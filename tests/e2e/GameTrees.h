// Generated game installations for the end-to-end runs: four releases of a game tree of a
// few hundred files in nested folders, each release changing, adding and removing files.
// Pure data: relative Windows paths (backslashes) to file contents.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace e2e {

using Tree = std::map<std::string, std::string>;

// releases[0] is 1.22 and releases[3] is 1.25. The game executable is left out: the caller
// puts the release's tarrowmain.exe in.
std::vector<Tree> MakeReleases();

struct TreeDiff {
    std::vector<std::string> modified, removed; // files of `from`
};
TreeDiff Diff(const Tree& from, const Tree& to);

// Folders (every level, relative) that hold files of a tree.
std::set<std::string> FoldersOf(const Tree& tree);

// The file-name part of a relative path.
std::string NameOf(const std::string& rel);

} // namespace e2e
