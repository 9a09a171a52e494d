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

// How a patch writes its names. Format version 1 stored them as the builder's system gave
// them (8-bit text in its code page); later versions store UTF-8.
enum class NameCoding { Native, Utf8 };

// Returns an empty string when `rel` is acceptable, otherwise why it is refused. Native
// checks byte by byte; Utf8 also requires valid UTF-8 and knows the UTF-8 forms of names.
std::string check_rel_path(const std::string& rel, NameCoding coding = NameCoding::Native);

// Case folding as Windows compares names. Native: ASCII and the Western (1252) letters, byte
// by byte. Utf8: each character to its simple upper case for the Latin, Greek, Cyrillic and
// Armenian letters, Roman numerals, circled and fullwidth Latin letters (FORMAT.md lists the
// rule); other characters, and bytes that are not UTF-8, stay as they are.
std::string fold_case(const std::string& s, NameCoding coding = NameCoding::Utf8);

// Well-formed UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
bool is_valid_utf8(const std::string& s);
// `s` for a message: control characters and bytes that are not UTF-8 as \xHH.
std::string escape_name(const std::string& s);

// Is `rel` the journal folder or inside it, or the reserved top folder itself?
bool is_reserved_path(const std::string& rel);

std::vector<std::string> split_rel(const std::string& rel);
std::string bare_name(const std::string& rel);  // last component
std::string parent_rel(const std::string& rel); // "" at the top
std::string to_native(const std::string& rel);  // '/' becomes the platform separator
std::string shorten_middle(const std::string& s, size_t max);

} // namespace kv
