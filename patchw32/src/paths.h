// Relative paths inside a patch: '/'-separated, checked against everything that could
// reach outside the game directory or alias another file on Windows.
#pragma once

#include <string>
#include <vector>

namespace kv {

constexpr size_t kMaxPathBytes = 1024;
constexpr size_t kMaxComponentBytes = 255;

// The folder directly below the game directory that a directory scan of the game skips;
// the engine keeps its journal inside it.
inline constexpr const char* kReservedTop = "Tarrowmoor";
inline constexpr const char* kJournalName = ".kelvane-journal";

// Returns an empty string when `rel` is acceptable, otherwise why it is refused.
std::string check_rel_path(const std::string& rel);

// Case folding as Windows compares names: ASCII and the Western (1252) letters.
std::string fold_case(const std::string& s);

// Is `rel` the journal folder or inside it, or the reserved top folder itself?
bool is_reserved_path(const std::string& rel);

std::vector<std::string> split_rel(const std::string& rel);
std::string bare_name(const std::string& rel);  // last component
std::string parent_rel(const std::string& rel); // "" at the top
std::string to_native(const std::string& rel);  // '/' becomes the platform separator
std::string shorten_middle(const std::string& s, size_t max);

} // namespace kv
